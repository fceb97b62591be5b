// orv-gateway: every camera of the recording servers in a browser, and the library's
// functions over HTTP.
#include <CLI/CLI.hpp>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>

#include "Archive.h"
#include "Directory.h"
#include "Feeds.h"
#include "Gateway.h"
#include "Options.h"
#include "Plates.h"
#include "ResultCodes.h"
#include "Session.h"

namespace {

std::mutex gLogMutex;

void LogLine(const std::string& line) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::lock_guard lock(gLogMutex);
    std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orv-gateway: live and recorded pictures, plates and commands of recording servers over HTTP"};
    std::vector<std::string> serverTexts;
    std::string serversFile;
    std::string listen = "127.0.0.1:8080";
    std::string token;
    bool verbose = false;
    double connectTimeout = 10;
    app.add_option("-s,--server", serverTexts, "recording server HOST[:PORT][/PASSWORD] (port 5001 by default); repeatable");
    app.add_option("--servers-file", serversFile,
                   "JSON file: {\"servers\": [\"HOST[:PORT][/PASSWORD]\" or {\"host\",\"port\",\"password\"}, ...]}");
    app.add_option("-l,--listen", listen, "address and port to serve on (127.0.0.1:8080); port 0 picks a free one");
    app.add_option("--token", token,
                   "require 'Authorization: Bearer TOKEN' or ?token=TOKEN on every request; needed off loopback");
    app.add_flag("-v,--verbose", verbose, "log one line per request to stderr");
    app.add_option("--connect-timeout", connectTimeout, "seconds to wait for the servers at start (10)");
    CLI11_PARSE(app, argc, argv);

    std::vector<orvctl::ServerAddress> servers;
    gateway::ListenAddress where;
    try {
        for (const auto& text : serverTexts) {
            servers.push_back(orvctl::ParseServerAddress(text));
        }
        if (!serversFile.empty()) {
            const auto more = gateway::LoadServersFile(serversFile);
            servers.insert(servers.end(), more.begin(), more.end());
        }
        where = gateway::ParseListen(listen);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orv-gateway: %s\n", e.what());
        return 2;
    }
    if (servers.empty()) {
        std::fprintf(stderr, "orv-gateway: give at least one --server or a --servers-file\n");
        return 2;
    }
    if (!gateway::IsLoopback(where.host) && token.empty()) {
        std::fprintf(stderr, "orv-gateway: listening on %s (not loopback) requires --token\n", where.host.c_str());
        return 2;
    }

    // SIGINT and SIGTERM are taken by sigwait below; block them before any thread starts
    // so that every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    orvctl::Session session;
    if (session.AddServers(servers, std::cerr, "orv-gateway") != 0) {
        return 1;
    }
    session.Connect(std::chrono::milliseconds(static_cast<long>(connectTimeout * 1000)));
    for (const auto& row : session.Servers()) {
        LogLine("server " + std::to_string(row.handle) + " " + row.address + ": " +
                (row.stateResult == 0 ? orvctl::StateName(row.state) : orvctl::ResultName(row.stateResult)) +
                (row.rangeResult == 0 && row.cameraCount > 0
                     ? ", cameras " + std::to_string(row.firstCamera) + "-" + std::to_string(row.lastCamera)
                     : ", no cameras"));
    }

    gateway::Directory directory(session, std::chrono::milliseconds(1000));
    gateway::FeedHub feeds;
    gateway::PlateHub plates(std::chrono::milliseconds(200), 1000);
    gateway::Archive archive;

    gateway::GatewayOptions options;
    options.listenAddress = where.host;
    options.port = where.port;
    options.token = token;
    options.verbose = verbose;
    options.log = LogLine;
    int status = 0;
    {
        gateway::Gateway server(options, gateway::Services{directory, feeds, plates, archive});
        uint16_t port = 0;
        try {
            port = server.Start();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "orv-gateway: cannot listen on %s: %s\n", listen.c_str(), e.what());
            return 1;
        }
        const bool v6 = where.host.find(':') != std::string::npos;
        std::printf("listening http://%s%s%s:%u/\n", v6 ? "[" : "", where.host.c_str(), v6 ? "]" : "",
                    static_cast<unsigned>(port));
        std::fflush(stdout);

        int received = 0;
        sigwait(&signals, &received);
        LogLine(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
        server.Stop();
        // The feeds and the plate list hold the viewers' stream writers, whose sockets
        // belong to the gateway's I/O context: let go of them before it goes.
        feeds.StopAll();
        plates.Stop();
    }
    directory.Stop();
    LogLine("stopped");
    return status;
}
