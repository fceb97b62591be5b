// orvctl: command-line client of the recording-server library, built on its public C
// interface only.
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <memory>

#include "Commands.h"
#include "Demo.h"
#include "OleTime.h"
#include "ResultCodes.h"
#include "orv_sdk.h"

using namespace orvctl;

namespace {

void OnSignal(int) {
    gStopRequested = true;
}

std::chrono::milliseconds Seconds(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0));
}

struct Globals {
    std::vector<std::string> servers;
    double connectTimeout = 10.0;
};

// What every command shares: the global options, where to print, and the exit status
// the command's callback leaves for main.
struct Run {
    Globals globals;
    Output io;
    int exitCode = kExitOk;
};

// The --server list parsed; false (said on io.err) when it is empty or an entry is malformed.
bool ParseServers(const Globals& globals, const Output& io, std::vector<ServerAddress>& addresses) {
    if (globals.servers.empty()) {
        io.err << "orvctl: no server given; use --server HOST[:PORT][/PASSWORD] (or try `orvctl demo`)\n";
        return false;
    }
    try {
        for (const auto& text : globals.servers) {
            addresses.push_back(ParseServerAddress(text));
        }
    } catch (const std::exception& e) {
        io.err << "orvctl: " << e.what() << '\n';
        return false;
    }
    return true;
}

// Says which servers are not connected, or connected without a known camera list.
void ReportUnconnected(Session& session, const Output& io) {
    for (const auto& row : session.Servers()) {
        if (row.stateResult != ORV_OK || row.state != ORV_STATE_CONNECTED) {
            io.err << "orvctl: server " << row.handle << " (" << row.address << ") is "
                   << (row.stateResult == ORV_OK ? StateName(row.state) : DescribeResult(row.stateResult)) << '\n';
        } else if (row.rangeResult != ORV_OK) {
            io.err << "orvctl: server " << row.handle << " (" << row.address
                   << ") is connected but its camera list is not known: " << DescribeResult(row.rangeResult)
                   << '\n';
        }
    }
}

// Connects to the --server list and runs one command; prints why when it cannot connect.
template <typename Command>
int WithSession(const Globals& globals, const Output& io, Command command) {
    std::vector<ServerAddress> addresses;
    if (!ParseServers(globals, io, addresses)) {
        return kExitUsage;
    }
    Session session;
    int code = session.AddServers(addresses, io.err);
    if (code != ORV_OK) {
        return kExitFailed;
    }
    code = session.Connect(Seconds(globals.connectTimeout));
    if (code != ORV_OK) {
        io.err << "orvctl: connecting: " << DescribeResult(code) << '\n';
        return kExitFailed;
    }
    if (!session.AllConnected()) {
        ReportUnconnected(session, io);  // the command runs on the servers that did connect
    }
    return command(session);
}

// Runs a command that needs the servers connected but not the session itself.
template <typename Command>
void RunConnected(Run& run, Command command) {
    run.exitCode = WithSession(run.globals, run.io, [&](Session&) { return command(); });
}

double ParseTimeOption(const std::string& text) {
    try {
        return ParseTimeArg(text, NowOle());
    } catch (const std::invalid_argument& e) {
        throw CLI::ValidationError(e.what());
    }
}

PictureFormat ParseFormatOption(const std::string& text) {
    try {
        return ParsePictureFormat(text);
    } catch (const std::invalid_argument& e) {
        throw CLI::ValidationError(e.what());
    }
}

const auto kFormats = CLI::IsMember({"jpeg", "jpg", "bgr", "yuyv", "grey", "gray"});
const auto kCameraNumbers = CLI::Range(1, 2048);  // the library numbers cameras 1..2048

// Each Add*Command registers one subcommand. The option values live in a block that the
// callback owns, so they outlive the parse.

void AddGlobalOptions(CLI::App& app, Run& run) {
    app.add_option("-s,--server", run.globals.servers,
                   "Recording server HOST[:PORT][/PASSWORD] (port 5001 by default); repeatable")
        ->type_name("HOST[:PORT][/PASSWORD]");
    app.add_option("--connect-timeout", run.globals.connectTimeout, "Seconds to wait for the servers to connect")
        ->check(CLI::Range(0.1, 600.0))
        ->capture_default_str();
}

void AddListCommands(CLI::App& app, Run& run) {
    app.add_subcommand("servers", "List the servers: handle, address, state, camera range")->callback([&run] {
        run.exitCode = WithSession(run.globals, run.io, [&](Session& s) { return RunServers(s, run.io); });
    });
    app.add_subcommand("cameras", "List the cameras: number, name, server, active")->callback([&run] {
        run.exitCode = WithSession(run.globals, run.io, [&](Session& s) { return RunCameras(s, run.io); });
    });
}

void AddSnapshotCommand(CLI::App& app, Run& run) {
    struct Args {
        SnapshotOptions options;
        std::string format = "jpeg";
        double timeout = 5.0;
    };
    auto args = std::make_shared<Args>();
    auto* snapshot = app.add_subcommand("snapshot",
                                        "Save the newest live picture of a camera (JPEG as received, "
                                        "decoded formats as PNG)");
    snapshot->add_option("-c,--camera", args->options.camera, "Camera number (1-2048)")
        ->required()
        ->check(kCameraNumbers);
    snapshot->add_option("-f,--format", args->format, "Picture format asked of the library")
        ->check(kFormats)
        ->capture_default_str();
    snapshot->add_option("-o,--output", args->options.output, "Output file (default camera-N.jpg or camera-N.png)");
    snapshot->add_option("--timeout", args->timeout, "Seconds to wait for a picture")
        ->check(CLI::Range(0.0, 600.0))
        ->capture_default_str();
    snapshot->callback([args, &run] {
        args->options.format = ParseFormatOption(args->format);
        args->options.timeout = Seconds(args->timeout);
        RunConnected(run, [&] { return RunSnapshot(args->options, run.io); });
    });
}

void AddArchiveCommand(CLI::App& app, Run& run) {
    struct Args {
        ArchiveOptions options;
        std::string from;
        std::string to = "now";
        std::string format = "jpeg";
    };
    auto args = std::make_shared<Args>();
    auto* archive = app.add_subcommand(
        "archive", "Export the archive pictures of cameras between --from and --to, in time order");
    archive
        ->add_option(
            "--from", args->from,
            "Start: ISO 8601 (2026-12-08T10:00:00 local, ...Z or +01:00 explicit), 'now' or relative "
            "(-10m, -1h30m, -2d)")
        ->required();
    archive->add_option("--to", args->to, "End, in the same forms")->capture_default_str();
    archive->add_option("-c,--camera", args->options.cameras, "Camera number(s)")
        ->required()
        ->check(kCameraNumbers);
    archive->add_option("-o,--output", args->options.outputDir, "Output directory")->capture_default_str();
    archive->add_option("-f,--format", args->format, "Picture format asked of the library")
        ->check(kFormats)
        ->capture_default_str();
    archive->add_option("--max-frames", args->options.maxFrames, "Stop after this many frames")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    archive->callback([args, &run] {
        args->options.from = ParseTimeOption(args->from);
        args->options.to = ParseTimeOption(args->to);
        args->options.format = ParseFormatOption(args->format);
        RunConnected(run, [&] { return RunArchive(args->options, run.io); });
    });
}

void AddPlatesCommand(CLI::App& app, Run& run) {
    struct Args {
        PlateOptions options;
        double wait = 3.0;
        int camera = 0;
        std::string picture;
    };
    auto args = std::make_shared<Args>();
    auto* plates = app.add_subcommand("plates", "Read recognised licence plates");
    plates->add_flag("--follow", args->options.follow, "Keep printing plates until interrupted");
    plates->add_option("--wait", args->wait, "Seconds to wait for a plate (without --follow)")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str();
    plates->add_option("-c,--camera", args->camera, "Latest plate of this camera instead of the plate queue")
        ->check(kCameraNumbers);
    plates
        ->add_option("--max-age", args->options.maxAgeMs,
                     "With --camera: ignore plates older than this many ms (0: any)")
        ->check(CLI::NonNegativeNumber);
    plates->add_option("--picture", args->picture, "Attach an archive picture in this format")->check(kFormats);
    plates->add_option("--offset", args->options.offsetMs, "Milliseconds added to the plate time for the picture");
    plates->add_option("-o,--output", args->options.outputDir, "Directory for pictures")->capture_default_str();
    plates->callback([args, &run] {
        args->options.wait = Seconds(args->wait);
        if (args->camera > 0) {
            args->options.camera = args->camera;
        }
        if (!args->picture.empty()) {
            args->options.picture = ParseFormatOption(args->picture);
        }
        RunConnected(run, [&] { return RunPlates(args->options, run.io); });
    });
}

void AddEventCommand(CLI::App& app, Run& run) {
    struct Args {
        EventOptions options;
        int camera = 0;
        int server = 0;
    };
    auto args = std::make_shared<Args>();
    auto* event = app.add_subcommand(
        "event", "Raise an external event for a camera (four values) or a server (one value)");
    auto* cameraOpt = event->add_option("-c,--camera", args->camera, "Camera number")->check(kCameraNumbers);
    auto* serverOpt = event->add_option("--server-handle", args->server, "Server handle (see `orvctl servers`)")
                          ->check(CLI::PositiveNumber);
    cameraOpt->excludes(serverOpt);
    event->add_option("--values", args->options.values, "Four values for a camera event")
        ->expected(4)
        ->needs(cameraOpt);
    event->add_option("--value", args->options.value, "Value for a server event")->needs(serverOpt);
    event->callback([args, cameraOpt, serverOpt, &run] {
        if (*cameraOpt) {
            args->options.camera = args->camera;
        }
        if (*serverOpt) {
            args->options.server = args->server;
        }
        RunConnected(run, [&] { return RunEvent(args->options, run.io); });
    });
}

void AddPtzCommand(CLI::App& app, Run& run) {
    auto options = std::make_shared<PtzOptions>();
    auto* ptz = app.add_subcommand("ptz", "Send a pan/tilt/zoom telemetry command to a camera");
    ptz->add_option("-c,--camera", options->camera, "Camera number")->required()->check(kCameraNumbers);
    ptz->add_option("--command", options->command, "Telemetry command code (its meaning lies with the server)")
        ->required();
    ptz->add_option("--speed1", options->speed1, "Speed 1 (clamped to 0-99)")->capture_default_str();
    ptz->add_option("--speed2", options->speed2, "Speed 2 (clamped to 0-99)")->capture_default_str();
    ptz->add_option("--value", options->value, "Command value (low byte is sent)")->capture_default_str();
    ptz->callback([options, &run] { RunConnected(run, [&] { return RunPtz(*options, run.io); }); });
}

void AddConsoleCommand(CLI::App& app, Run& run) {
    struct Args {
        int server = 0;
        int camera = 0;
    };
    auto args = std::make_shared<Args>();
    auto* console = app.add_subcommand("console", "Switch a server's external control console to a camera");
    console->add_option("--server-handle", args->server, "Server handle (see `orvctl servers`)")
        ->required()
        ->check(CLI::PositiveNumber);
    console->add_option("-c,--camera", args->camera, "Camera number")->required()->check(kCameraNumbers);
    console->callback(
        [args, &run] { RunConnected(run, [&] { return RunConsole(args->server, args->camera, run.io); }); });
}

void AddDemoCommand(CLI::App& app, Run& run) {
    auto options = std::make_shared<DemoOptions>();
    auto* demo =
        app.add_subcommand("demo", "Start two simulated servers in-process and run through every feature");
    demo->add_option("-o,--output", options->outputDir, "Directory for the saved pictures")->capture_default_str();
    demo->callback([options, &run] { run.exitCode = RunDemo(*options, run.io); });
}

// Parses the command line, which runs the chosen command; the process exit status.
int ParseAndRun(CLI::App& app, const Run& run, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "orvctl: " << e.what() << '\n';
        return kExitFailed;
    }
    return run.exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    Run run{{}, Output{std::cout, std::cerr, isatty(STDERR_FILENO) != 0}};

    CLI::App app{
        "orvctl - command-line client for recording servers (list servers and cameras, save "
        "snapshots, export the archive, read plates, send events, PTZ and console commands)"};
    app.footer(
        "Exit status: 0 success; 1 the library answered an error (printed by name) or a server is "
        "not connected; 2 bad usage; 3 a connected server reports no cameras (a wrong password "
        "looks like this).\n");
    app.require_subcommand(1);
    app.fallthrough();  // global options may also follow the command
    AddGlobalOptions(app, run);
    AddListCommands(app, run);
    AddSnapshotCommand(app, run);
    AddArchiveCommand(app, run);
    AddPlatesCommand(app, run);
    AddEventCommand(app, run);
    AddPtzCommand(app, run);
    AddConsoleCommand(app, run);
    AddDemoCommand(app, run);
    return ParseAndRun(app, run, argc, argv);
}
