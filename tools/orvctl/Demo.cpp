#include "Demo.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "OleTime.h"
#include "ResultCodes.h"
#include "SimHost.h"
#include "Table.h"
#include "orv_sdk.h"

namespace orvctl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kArchiveSpanDays = 4'000.0 / ORV_MS_PER_DAY;  // a few seconds are enough to show the export
constexpr int kArchiveMaxFrames = 40;
constexpr size_t kArchiveCameras = 2;
// The library returns once a command is sent; the server records it when it arrives.
constexpr auto kReceiveWait = std::chrono::milliseconds(3000);
constexpr auto kReceivePoll = std::chrono::milliseconds(20);
// A decoded picture whose bytes span less than this is blank, not a picture.
constexpr int kMinPictureContrast = 32;

const char* StatusName(StepStatus status) {
    switch (status) {
        case StepStatus::Ok:
            return "ok";
        case StepStatus::Skipped:
            return "skipped";
        case StepStatus::Failed:
            return "FAILED";
    }
    return "?";
}

// Index of the simulated server that serves a camera number; -1 when none does.
int OwnerOf(const SimHost& sim, int camera) {
    const auto& servers = sim.Servers();
    for (size_t i = 0; i < servers.size(); ++i) {
        const int first = servers[i].firstCamera;
        if (camera >= first && camera < first + static_cast<int>(servers[i].cameraKinds.size())) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string KindOf(const SimHost& sim, int camera) {
    const int owner = OwnerOf(sim, camera);
    if (owner < 0) {
        return {};
    }
    const SimServerInfo& server = sim.Servers()[static_cast<size_t>(owner)];
    return server.cameraKinds[static_cast<size_t>(camera - server.firstCamera)];
}

// Polls what a simulated server received until `found` holds or the wait is over.
template <typename Found>
bool WaitReceived(const SimHost& sim, int server, Found found) {
    const auto deadline = Clock::now() + kReceiveWait;
    for (;;) {
        if (found(sim.Received(static_cast<size_t>(server)))) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kReceivePoll);
    }
}

std::string Join(const std::array<int, 4>& values) {
    std::string text;
    for (int v : values) {
        text += (text.empty() ? "" : ",") + std::to_string(v);
    }
    return text;
}

std::string FormatMs(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", ms);
    return text;
}

class DemoRun {
  public:
    DemoRun(const DemoOptions& options, const Output& io) : options_(options), io_(io) {}

    int Run() {
        std::string error;
        std::unique_ptr<SimHost> sim;
        Step("start simulated servers", [&](DemoStep& step) {
            sim = StartSimulatedServers(error);
            if (!sim) {
                Failed(step, error);
                return;
            }
            std::ostringstream detail;
            for (const auto& server : sim->Servers()) {
                detail << (detail.tellp() > 0 ? "; " : "") << server.host << ":" << server.port << " "
                       << server.description;
            }
            step.detail = detail.str();
        });
        if (sim) {
            RunAgainst(*sim);
        }
        return Summarise();
    }

  private:
    template <typename Body>
    void Step(const std::string& name, Body body) {
        DemoStep step;
        step.name = name;
        io_.out << "== " << name << '\n';
        const auto start = Clock::now();
        body(step);
        step.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (step.status != StepStatus::Ok) {
            io_.out << "   " << StatusName(step.status) << ": " << step.detail << '\n';
        }
        steps_.push_back(step);
    }

    static void Failed(DemoStep& step, const std::string& why) {
        step.status = StepStatus::Failed;
        step.detail = why;
    }
    static void Skipped(DemoStep& step, int code) {
        step.status = StepStatus::Skipped;
        step.detail = "the library answered " + ResultName(code) + " (" + ResultText(code) + ")";
    }
    static void Skipped(DemoStep& step, const std::string& why) {
        step.status = StepStatus::Skipped;
        step.detail = why;
    }
    static std::string ServerName(int index) { return "server " + std::to_string(index + 1); }

    void RunAgainst(const SimHost& sim) {
        Session session;
        bool connected = false;
        Step("connect", [&](DemoStep& step) {
            std::vector<ServerAddress> addresses;
            for (const auto& server : sim.Servers()) {
                addresses.push_back({server.host, server.port, server.password});
            }
            std::ostringstream err;
            int code = session.AddServers(addresses, err);
            if (code == ORV_OK) {
                code = session.Connect(options_.connectTimeout);
            }
            if (code != ORV_OK) {
                Failed(step, DescribeResult(code));
                return;
            }
            connected = session.AllConnected();
            std::ostringstream detail;
            for (const auto& row : session.Servers()) {
                detail << (detail.tellp() > 0 ? ", " : "") << "server " << row.handle << " "
                       << (row.stateResult == ORV_OK ? StateName(row.state) : ResultName(row.stateResult));
            }
            step.detail = detail.str();
            if (!connected) {
                Failed(step, step.detail + " (not all connected within " +
                                 std::to_string(options_.connectTimeout.count()) + " ms)");
            }
        });
        if (!connected) {
            return;
        }

        std::vector<int> cameras;
        Step("list servers and cameras", [&](DemoStep& step) {
            RunServers(session, io_);
            int inactive = 0;
            for (const auto& row : session.Cameras()) {
                if (row.infoResult == ORV_OK && row.active) {
                    cameras.push_back(row.camera);
                } else {
                    ++inactive;
                }
            }
            RunCameras(session, io_);
            step.detail = std::to_string(cameras.size()) + " active camera(s)";
            if (inactive > 0) {
                step.detail += ", " + std::to_string(inactive) + " not active or not queryable";
            }
            if (cameras.empty()) {
                Failed(step, "no active camera listed");
            }
        });
        if (cameras.empty()) {
            return;
        }

        std::filesystem::create_directories(options_.outputDir);
        SnapshotEvery(cameras);
        DecodeH264(sim, cameras);
        ExportArchive(cameras);
        ReadPlates(sim);
        RaiseCameraEvent(sim, cameras.back());
        RaiseServerEvent(sim, 0);
        SendPtz(sim, cameras.front());
        SwitchConsole(sim, cameras);
    }

    void SnapshotEvery(const std::vector<int>& cameras) {
        Step("snapshot of every camera", [&](DemoStep& step) {
            int saved = 0;
            int lastCode = ORV_OK;
            std::vector<std::string> failures;
            for (int camera : cameras) {
                std::string path;
                // Until one camera has delivered, do not wait the full time on every camera: a
                // library without live pictures would make the demo crawl.
                const auto timeout = saved > 0 || camera == cameras.front() ? options_.frameTimeout
                                                                            : options_.frameTimeout / 4;
                // Name the file by what arrives: a JPEG stays .jpg, a decoded picture becomes .png.
                const Frame frame = FetchLiveFrame(camera, PictureFormat::Jpeg, timeout);
                if (frame.code != ORV_OK || frame.data.empty()) {
                    lastCode = frame.code == ORV_OK ? ORV_E_NO_FRAME : frame.code;
                    failures.push_back("camera " + std::to_string(camera) + ": " + ResultName(lastCode));
                    continue;
                }
                path = (std::filesystem::path(options_.outputDir) /
                        ("camera-" + std::to_string(camera) + "." + FileExtension(frame.layout)))
                           .string();
                try {
                    SavePicture(path, frame.data.data(), frame.data.size(), frame.width, frame.height,
                                frame.layout, false);
                } catch (const std::exception& e) {
                    failures.push_back(e.what());
                    continue;
                }
                io_.out << "   camera " << camera << ": " << frame.width << "x" << frame.height << " "
                        << LayoutName(frame.layout) << " -> " << path << '\n';
                saved_.push_back(path);
                ++saved;
            }
            if (saved > 0) {
                SaveDecodedSample(cameras.front());
            }
            step.detail = std::to_string(saved) + "/" + std::to_string(cameras.size()) + " saved in " +
                          options_.outputDir;
            if (saved == 0) {
                Skipped(step, lastCode);
            } else if (!failures.empty()) {
                std::string list;
                for (const auto& f : failures) {
                    list += (list.empty() ? "" : "; ") + f;
                }
                Failed(step, step.detail + "; " + list);
            }
        });
    }

    // One decoded (BGR) picture as PNG, so the demo also shows the conversion path.
    void SaveDecodedSample(int camera) {
        const Frame frame = FetchLiveFrame(camera, PictureFormat::Bgr, options_.frameTimeout);
        if (frame.code != ORV_OK || frame.layout == PixelLayout::Unknown ||
            frame.layout == PixelLayout::Jpeg) {
            io_.out << "   camera " << camera << " as BGR: "
                    << (frame.code != ORV_OK ? ResultName(frame.code) : std::string("not a decoded picture"))
                    << '\n';
            return;
        }
        const std::string path =
            (std::filesystem::path(options_.outputDir) / ("camera-" + std::to_string(camera) + "-bgr.png"))
                .string();
        try {
            SavePicture(path, frame.data.data(), frame.data.size(), frame.width, frame.height, frame.layout,
                        false);
            io_.out << "   camera " << camera << " as " << LayoutName(frame.layout) << " -> " << path << '\n';
            saved_.push_back(path);
        } catch (const std::exception& e) {
            io_.err << "orvctl: " << e.what() << '\n';
        }
    }

    // A compressed camera through the decoder plug-in, saved as PNG beside the JPEG
    // camera's picture.
    void DecodeH264(const SimHost& sim, const std::vector<int>& cameras) {
        Step("H.264 camera decoded to BGR", [&](DemoStep& step) {
            const auto h264 = std::find_if(cameras.begin(), cameras.end(),
                                           [&](int camera) { return KindOf(sim, camera) == "h264"; });
            if (h264 == cameras.end()) {
                Skipped(step, sim.HasH264Encoder()
                                  ? "no active H.264 camera on the simulated servers"
                                  : "this libavcodec has no H.264 encoder, so the simulated servers "
                                    "serve MPEG-4 in place of H.264");
                return;
            }
            const int camera = *h264;
            const Frame frame = FetchLiveFrame(camera, PictureFormat::Bgr, options_.frameTimeout);
            if (frame.code != ORV_OK) {
                Skipped(step, frame.code);
                step.detail = "camera " + std::to_string(camera) + ": " + step.detail;
                return;
            }
            const std::string what = "camera " + std::to_string(camera) + " (h264, " +
                                     ServerName(OwnerOf(sim, camera)) + ")";
            if (frame.layout != PixelLayout::Bgr) {
                Failed(step, what + " delivered " + LayoutName(frame.layout) + ", not BGR");
                return;
            }
            const auto [lo, hi] = std::minmax_element(frame.data.begin(), frame.data.end());
            if (*hi - *lo < kMinPictureContrast) {
                Failed(step, what + " decoded to a blank picture (bytes " + std::to_string(*lo) + ".." +
                                 std::to_string(*hi) + ")");
                return;
            }
            const std::string path =
                (std::filesystem::path(options_.outputDir) / ("camera-" + std::to_string(camera) + "-bgr.png"))
                    .string();
            try {
                SavePicture(path, frame.data.data(), frame.data.size(), frame.width, frame.height,
                            frame.layout, false);
            } catch (const std::exception& e) {
                Failed(step, what + ": " + e.what());
                return;
            }
            io_.out << "   " << what << " as BGR: " << frame.width << "x" << frame.height << " -> " << path
                    << '\n';
            saved_.push_back(path);
            step.detail = what + " decoded to " + std::to_string(frame.width) + "x" +
                          std::to_string(frame.height) + " BGR, saved " + path;
        });
    }

    void RaiseCameraEvent(const SimHost& sim, int camera) {
        Step("camera event", [&](DemoStep& step) {
            constexpr std::array<int, 4> kValues{1, 2, 3, 4};
            const int owner = OwnerOf(sim, camera);
            if (owner < 0) {
                Failed(step, "camera " + std::to_string(camera) + " is on no simulated server");
                return;
            }
            const size_t before = sim.Received(static_cast<size_t>(owner)).cameraEvents.size();
            const int code = ORV_SetExternalEvent(camera, kValues[0], kValues[1], kValues[2], kValues[3]);
            if (code != ORV_OK) {
                Skipped(step, code);
                return;
            }
            const std::string what =
                "camera event " + std::to_string(camera) + " (" + Join(kValues) + ")";
            const bool arrived = WaitReceived(sim, owner, [&](const ReceivedCommands& r) {
                return std::any_of(r.cameraEvents.begin() + static_cast<std::ptrdiff_t>(before),
                                   r.cameraEvents.end(), [&](const ReceivedCameraEvent& e) {
                                       return e.camera == camera && e.values == kValues;
                                   });
            });
            step.detail = ServerName(owner) + " received " + what;
            if (!arrived) {
                Failed(step, "the library answered ORV_OK, but " + ServerName(owner) + " did not receive " + what);
            }
        });
    }

    void RaiseServerEvent(const SimHost& sim, int server) {
        Step("server event", [&](DemoStep& step) {
            constexpr int kValue = 7;
            const size_t before = sim.Received(static_cast<size_t>(server)).serverEvents.size();
            // Servers were registered in order, so the handle is the position counted from 1.
            const int code = ORV_SetExternalEvent_X(server + 1, kValue);
            if (code != ORV_OK) {
                Skipped(step, code);
                return;
            }
            const std::string what = "server event " + std::to_string(kValue);
            const bool arrived = WaitReceived(sim, server, [&](const ReceivedCommands& r) {
                return std::find(r.serverEvents.begin() + static_cast<std::ptrdiff_t>(before),
                                 r.serverEvents.end(), kValue) != r.serverEvents.end();
            });
            step.detail = ServerName(server) + " received " + what;
            if (!arrived) {
                Failed(step, "the library answered ORV_OK, but " + ServerName(server) + " did not receive " + what);
            }
        });
    }

    void SendPtz(const SimHost& sim, int camera) {
        Step("PTZ command", [&](DemoStep& step) {
            const ReceivedTelemetry sent{camera, 3, 30, 60, 5};
            const int owner = OwnerOf(sim, camera);
            if (owner < 0) {
                Failed(step, "camera " + std::to_string(camera) + " is on no simulated server");
                return;
            }
            const size_t before = sim.Received(static_cast<size_t>(owner)).telemetry.size();
            const int code = ORV_CamTele(camera, sent.command, sent.speed1, sent.speed2, sent.value);
            if (code != ORV_OK) {
                Skipped(step, code);
                return;
            }
            const std::string what = "telemetry command " + std::to_string(sent.command) + " for camera " +
                                     std::to_string(camera) + " (speeds " + std::to_string(sent.speed1) +
                                     "/" + std::to_string(sent.speed2) + ", value " +
                                     std::to_string(sent.value) + ")";
            const bool arrived = WaitReceived(sim, owner, [&](const ReceivedCommands& r) {
                return std::any_of(r.telemetry.begin() + static_cast<std::ptrdiff_t>(before), r.telemetry.end(),
                                   [&](const ReceivedTelemetry& t) {
                                       return t.camera == sent.camera && t.command == sent.command &&
                                              t.speed1 == sent.speed1 && t.speed2 == sent.speed2 &&
                                              t.value == sent.value;
                                   });
            });
            step.detail = ServerName(owner) + " received " + what;
            if (!arrived) {
                Failed(step, "the library answered ORV_OK, but " + ServerName(owner) + " did not receive " + what);
            }
        });
    }

    // Switches the console of the last server to its first active camera.
    void SwitchConsole(const SimHost& sim, const std::vector<int>& cameras) {
        Step("console switch", [&](DemoStep& step) {
            const int server = static_cast<int>(sim.Servers().size()) - 1;
            const auto camera = std::find_if(cameras.begin(), cameras.end(),
                                             [&](int c) { return OwnerOf(sim, c) == server; });
            if (server < 0 || camera == cameras.end()) {
                Failed(step, "the last simulated server has no active camera");
                return;
            }
            const size_t before = sim.Received(static_cast<size_t>(server)).consoleSwitches.size();
            const int code = ORV_ExtPultSwitchCam(server + 1, *camera);
            if (code != ORV_OK) {
                Skipped(step, code);
                return;
            }
            const std::string what = "console switch to camera " + std::to_string(*camera);
            const bool arrived = WaitReceived(sim, server, [&](const ReceivedCommands& r) {
                return std::find(r.consoleSwitches.begin() + static_cast<std::ptrdiff_t>(before),
                                 r.consoleSwitches.end(), *camera) != r.consoleSwitches.end();
            });
            step.detail = ServerName(server) + " received " + what;
            if (!arrived) {
                Failed(step, "the library answered ORV_OK, but " + ServerName(server) + " did not receive " + what);
            }
        });
    }

    void ExportArchive(const std::vector<int>& cameras) {
        Step("archive export", [&](DemoStep& step) {
            double begin = 0;
            double end = 0;
            int code = ORV_VideoArchiveOpen(1);
            if (code == ORV_OK) {
                code = ORV_VideoArchiveGetInfo(&begin, &end);
            }
            ORV_VideoArchiveOpen(0);
            if (code != ORV_OK) {
                Skipped(step, code);
                return;
            }
            ArchiveOptions archive;
            archive.cameras.assign(cameras.begin(),
                                   cameras.begin() + std::min(cameras.size(), kArchiveCameras));
            archive.from = std::max(begin, end - kArchiveSpanDays);
            archive.to = end;
            archive.outputDir = (std::filesystem::path(options_.outputDir) / "archive").string();
            archive.maxFrames = kArchiveMaxFrames;
            const ArchiveResult result = orvctl::ExportArchive(archive, Output{io_.out, io_.err, false});
            step.detail = std::to_string(result.frames) + " frame(s) of camera(s)";
            for (int c : archive.cameras) {
                step.detail += " " + std::to_string(c);
            }
            step.detail += " in " + archive.outputDir;
            if (!result.paths.empty()) {
                saved_.push_back(result.paths.front() + " (first of " + std::to_string(result.paths.size()) +
                                 ")");
            }
            if (result.frames == 0 && result.lastCode != ORV_OK) {
                Skipped(step, result.lastCode);
            } else if (result.exitCode != kExitOk) {
                Failed(step, step.detail + "; see the messages above");
            }
        });
    }

    void ReadPlates(const SimHost& sim) {
        Step("plate reading", [&](DemoStep& step) {
            PlateOptions plates;
            plates.wait = sim.HasPlates() ? options_.plateWait : std::chrono::milliseconds(500);
            std::vector<PlateRow> rows;
            int code = ORV_OK;
            try {
                code = CollectPlates(plates, io_, rows);
            } catch (const std::exception& e) {
                Failed(step, e.what());
                return;
            }
            if (code != ORV_OK) {
                Skipped(step, code);
                if (!sim.HasPlates()) {
                    step.detail += "; the simulated servers send no plates";
                }
                return;
            }
            step.detail = std::to_string(rows.size()) + " plate(s), first " + rows.front().number;
        });
    }

    int Summarise() {
        io_.out << "\nSummary\n";
        Table table({"step", "result", "ms", "detail"});
        bool failed = false;
        for (const auto& step : steps_) {
            table.AddRow({step.name, StatusName(step.status), FormatMs(step.milliseconds), step.detail});
            failed = failed || step.status == StepStatus::Failed;
        }
        table.Print(io_.out);
        if (!saved_.empty()) {
            io_.out << "\nSaved:\n";
            for (const auto& path : saved_) {
                io_.out << "  " << path << '\n';
            }
        }
        int skipped = 0;
        for (const auto& step : steps_) {
            skipped += step.status == StepStatus::Skipped ? 1 : 0;
        }
        if (skipped > 0) {
            io_.out << '\n' << skipped << " step(s) skipped; the detail column says why.\n";
        }
        return failed ? kExitFailed : kExitOk;
    }

    const DemoOptions& options_;
    const Output& io_;
    std::vector<DemoStep> steps_;
    std::vector<std::string> saved_;
};

}  // namespace

int RunDemo(const DemoOptions& options, const Output& io) {
    return DemoRun(options, io).Run();
}

}  // namespace orvctl
