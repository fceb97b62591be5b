// orv-sim: recording-server simulator for tests, demos and integrators.
#ifdef _WIN32
#include <windows.h>

#include <condition_variable>
#else
#include <signal.h>
#endif

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <mutex>

#include "sim/Simulator.h"

namespace {

struct Options {
    int port = 5001;
    int servers = 1;
    int cameras = 4;
    std::string password;
    std::string configFile;
    bool verbose = false;
};

std::vector<orv_sim::ServerConfig> BuildServers(const Options& o) {
    if (o.configFile.empty()) {
        return orv_sim::UniformServers(o.servers, o.cameras, static_cast<uint16_t>(o.port), o.password);
    }
    std::vector<orv_sim::ServerConfig> servers = orv_sim::LoadConfigFile(o.configFile);
    // Servers without a port of their own take consecutive ports from --port.
    for (size_t i = 0; i < servers.size(); ++i) {
        if (servers[i].port == 0 && o.port != 0)
            servers[i].port = static_cast<uint16_t>(o.port + static_cast<int>(i));
        if (servers[i].password.empty()) servers[i].password = o.password;
    }
    return servers;
}

}  // namespace

namespace {

#ifdef _WIN32

// Ctrl+C, Ctrl+Break and closing the console end the simulator.
std::mutex g_stopMutex;
std::condition_variable g_stopChanged;
bool g_stopRequested = false;

BOOL WINAPI OnConsoleEvent(DWORD) {
    {
        std::lock_guard<std::mutex> lock(g_stopMutex);
        g_stopRequested = true;
    }
    g_stopChanged.notify_all();
    return TRUE;
}

void BlockStopSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

void WaitForStopSignal() {
    std::unique_lock<std::mutex> lock(g_stopMutex);
    g_stopChanged.wait(lock, [] { return g_stopRequested; });
}

#else

// Signals are taken synchronously by the main thread; every other thread
// inherits the blocked mask, so this runs before any thread starts.
sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

void BlockStopSignals() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void WaitForStopSignal() {
    const sigset_t signals = StopSignals();
    int received = 0;
    sigwait(&signals, &received);
}

#endif

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"orv-sim: simulated recording servers on 127.0.0.1"};
    app.add_option("--port", o.port, "first port; servers use consecutive ports (0 = ephemeral)")
        ->check(CLI::Range(0, 65535));
    app.add_option("--servers", o.servers, "number of servers")->check(CLI::Range(1, 63));
    app.add_option("--cameras", o.cameras, "cameras per server")->check(CLI::Range(0, 128));
    app.add_option("--password", o.password, "login text the servers expect (empty: any)");
    app.add_option("--config", o.configFile, "JSON file with per-server and per-camera settings")
        ->check(CLI::ExistingFile);
    app.add_flag("--verbose", o.verbose,
                 "log connections, events, console, telemetry and positions to stderr");
    CLI11_PARSE(app, argc, argv);

    if (o.configFile.empty() && o.servers * o.cameras > 2048) {
        std::cerr << "orv-sim: at most 2048 cameras in total\n";
        return 2;
    }

    BlockStopSignals();

    orv_sim::SimulatorOptions options;
    std::mutex logMutex;
    if (o.verbose) {
        options.log = [&logMutex](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex);
            std::cerr << line << '\n';
        };
    }
    try {
        orv_sim::Simulator simulator(BuildServers(o), options);
        for (size_t i = 0; i < simulator.ServerCount(); ++i) {
            orv_sim::SimServer& server = simulator.Server(i);
            std::printf("listening 127.0.0.1:%u cameras %d-%d\n", static_cast<unsigned>(server.Port()),
                        server.FirstCamera() + 1, server.FirstCamera() + server.CameraCount());
        }
        std::fflush(stdout);
        WaitForStopSignal();
        simulator.Stop();
    } catch (const std::exception& e) {
        std::cerr << "orv-sim: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
