# Install rules and package files: filled in by their own change.
