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

// Connects to the --server list and runs one command; prints why when it cannot connect.
template <typename Command>
int WithSession(const Globals& globals, const Output& io, bool requireAll, Command command) {
    if (globals.servers.empty()) {
        io.err << "orvctl: no server given; use --server HOST[:PORT][/PASSWORD] (or try `orvctl demo`)\n";
        return kExitUsage;
    }
    std::vector<ServerAddress> addresses;
    try {
        for (const auto& text : globals.servers) {
            addresses.push_back(ParseServerAddress(text));
        }
    } catch (const std::exception& e) {
        io.err << "orvctl: " << e.what() << '\n';
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
        for (const auto& row : session.Servers()) {
            if (row.stateResult != ORV_OK || row.state != ORV_STATE_CONNECTED) {
                io.err << "orvctl: server " << row.handle << " (" << row.address << ") is "
                       << (row.stateResult == ORV_OK ? StateName(row.state) : DescribeResult(row.stateResult))
                       << '\n';
            } else if (row.rangeResult != ORV_OK) {
                io.err << "orvctl: server " << row.handle << " (" << row.address
                       << ") is connected but its camera list is not known: "
                       << DescribeResult(row.rangeResult) << '\n';
            }
        }
        if (requireAll) {
            return kExitFailed;
        }
    }
    return command(session);
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

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    const Output io{std::cout, std::cerr, isatty(STDERR_FILENO) != 0};

    CLI::App app{
        "orvctl - command-line client for recording servers (list servers and cameras, save "
        "snapshots, export the archive, read plates, send events, PTZ and console commands)"};
    app.footer(
        "Exit status: 0 success; 1 the library answered an error (printed by name) or a server is "
        "not connected; 2 bad usage; 3 a connected server reports no cameras (a wrong password "
        "looks like this).\n");
    app.require_subcommand(1);
    app.fallthrough();  // global options may also follow the command
    Globals globals;
    app.add_option("-s,--server", globals.servers,
                   "Recording server HOST[:PORT][/PASSWORD] (port 5001 by default); repeatable")
        ->type_name("HOST[:PORT][/PASSWORD]");
    app.add_option("--connect-timeout", globals.connectTimeout, "Seconds to wait for the servers to connect")
        ->check(CLI::Range(0.1, 600.0))
        ->capture_default_str();

    int exitCode = kExitOk;

    auto* servers = app.add_subcommand("servers", "List the servers: handle, address, state, camera range");
    servers->callback(
        [&] { exitCode = WithSession(globals, io, false, [&](Session& s) { return RunServers(s, io); }); });

    auto* cameras = app.add_subcommand("cameras", "List the cameras: number, name, server, active");
    cameras->callback(
        [&] { exitCode = WithSession(globals, io, false, [&](Session& s) { return RunCameras(s, io); }); });

    SnapshotOptions snap;
    std::string snapFormat = "jpeg";
    double snapTimeout = 5.0;
    auto* snapshot = app.add_subcommand("snapshot",
                                        "Save the newest live picture of a camera (JPEG as received, "
                                        "decoded formats as PNG)");
    snapshot->add_option("-c,--camera", snap.camera, "Camera number (1-2048)")
        ->required()
        ->check(CLI::Range(1, 2048));
    snapshot->add_option("-f,--format", snapFormat, "Picture format asked of the library")
        ->check(kFormats)
        ->capture_default_str();
    snapshot->add_option("-o,--output", snap.output, "Output file (default camera-N.jpg or camera-N.png)");
    snapshot->add_option("--timeout", snapTimeout, "Seconds to wait for a picture")
        ->check(CLI::Range(0.0, 600.0))
        ->capture_default_str();
    snapshot->callback([&] {
        snap.format = ParseFormatOption(snapFormat);
        snap.timeout = Seconds(snapTimeout);
        exitCode = WithSession(globals, io, false, [&](Session&) { return RunSnapshot(snap, io); });
    });

    ArchiveOptions arch;
    std::string archFrom;
    std::string archTo = "now";
    std::string archFormat = "jpeg";
    auto* archive = app.add_subcommand(
        "archive", "Export the archive pictures of cameras between --from and --to, in time order");
    archive
        ->add_option(
            "--from", archFrom,
            "Start: ISO 8601 (2026-12-08T10:00:00 local, ...Z or +01:00 explicit), 'now' or relative "
            "(-10m, -1h30m, -2d)")
        ->required();
    archive->add_option("--to", archTo, "End, in the same forms")->capture_default_str();
    archive->add_option("-c,--camera", arch.cameras, "Camera number(s)")
        ->required()
        ->check(CLI::Range(1, 2048));
    archive->add_option("-o,--output", arch.outputDir, "Output directory")->capture_default_str();
    archive->add_option("-f,--format", archFormat, "Picture format asked of the library")
        ->check(kFormats)
        ->capture_default_str();
    archive->add_option("--max-frames", arch.maxFrames, "Stop after this many frames")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    archive->callback([&] {
        arch.from = ParseTimeOption(archFrom);
        arch.to = ParseTimeOption(archTo);
        arch.format = ParseFormatOption(archFormat);
        exitCode = WithSession(globals, io, false, [&](Session&) { return RunArchive(arch, io); });
    });

    PlateOptions plate;
    double plateWait = 3.0;
    int plateCamera = 0;
    std::string plateFormat;
    auto* plates = app.add_subcommand("plates", "Read recognised licence plates");
    plates->add_flag("--follow", plate.follow, "Keep printing plates until interrupted");
    plates->add_option("--wait", plateWait, "Seconds to wait for a plate (without --follow)")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str();
    plates->add_option("-c,--camera", plateCamera, "Latest plate of this camera instead of the plate queue")
        ->check(CLI::Range(1, 2048));
    plates
        ->add_option("--max-age", plate.maxAgeMs,
                     "With --camera: ignore plates older than this many ms (0: any)")
        ->check(CLI::NonNegativeNumber);
    plates->add_option("--picture", plateFormat, "Attach an archive picture in this format")->check(kFormats);
    plates->add_option("--offset", plate.offsetMs, "Milliseconds added to the plate time for the picture");
    plates->add_option("-o,--output", plate.outputDir, "Directory for pictures")->capture_default_str();
    plates->callback([&] {
        plate.wait = Seconds(plateWait);
        if (plateCamera > 0) {
            plate.camera = plateCamera;
        }
        if (!plateFormat.empty()) {
            plate.picture = ParseFormatOption(plateFormat);
        }
        exitCode = WithSession(globals, io, false, [&](Session&) { return RunPlates(plate, io); });
    });

    EventOptions ev;
    int evCamera = 0;
    int evServer = 0;
    auto* event = app.add_subcommand(
        "event", "Raise an external event for a camera (four values) or a server (one value)");
    auto* evCameraOpt =
        event->add_option("-c,--camera", evCamera, "Camera number")->check(CLI::Range(1, 2048));
    auto* evServerOpt = event->add_option("--server-handle", evServer, "Server handle (see `orvctl servers`)")
                            ->check(CLI::PositiveNumber);
    evCameraOpt->excludes(evServerOpt);
    event->add_option("--values", ev.values, "Four values for a camera event")
        ->expected(4)
        ->needs(evCameraOpt);
    event->add_option("--value", ev.value, "Value for a server event")->needs(evServerOpt);
    event->callback([&] {
        if (*evCameraOpt) {
            ev.camera = evCamera;
        }
        if (*evServerOpt) {
            ev.server = evServer;
        }
        exitCode = WithSession(globals, io, false, [&](Session&) { return RunEvent(ev, io); });
    });

    PtzOptions ptzOptions;
    auto* ptz = app.add_subcommand("ptz", "Send a pan/tilt/zoom telemetry command to a camera");
    ptz->add_option("-c,--camera", ptzOptions.camera, "Camera number")
        ->required()
        ->check(CLI::Range(1, 2048));
    ptz->add_option("--command", ptzOptions.command,
                    "Telemetry command code (its meaning lies with the server)")
        ->required();
    ptz->add_option("--speed1", ptzOptions.speed1, "Speed 1 (clamped to 0-99)")->capture_default_str();
    ptz->add_option("--speed2", ptzOptions.speed2, "Speed 2 (clamped to 0-99)")->capture_default_str();
    ptz->add_option("--value", ptzOptions.value, "Command value (low byte is sent)")->capture_default_str();
    ptz->callback([&] {
        exitCode = WithSession(globals, io, false, [&](Session&) { return RunPtz(ptzOptions, io); });
    });

    int consoleServer = 0;
    int consoleCamera = 0;
    auto* console = app.add_subcommand("console", "Switch a server's external control console to a camera");
    console->add_option("--server-handle", consoleServer, "Server handle (see `orvctl servers`)")
        ->required()
        ->check(CLI::PositiveNumber);
    console->add_option("-c,--camera", consoleCamera, "Camera number")
        ->required()
        ->check(CLI::Range(1, 2048));
    console->callback([&] {
        exitCode = WithSession(globals, io, false,
                               [&](Session&) { return RunConsole(consoleServer, consoleCamera, io); });
    });

    DemoOptions demoOptions;
    auto* demo =
        app.add_subcommand("demo", "Start two simulated servers in-process and run through every feature");
    demo->add_option("-o,--output", demoOptions.outputDir, "Directory for the saved pictures")
        ->capture_default_str();
    demo->callback([&] { exitCode = RunDemo(demoOptions, io); });

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
    return exitCode;
}
