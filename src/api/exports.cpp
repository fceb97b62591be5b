// Placeholder: replaced by the library state and exports.
