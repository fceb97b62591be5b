#include "Demo.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "OleTime.h"
#include "ResultCodes.h"
#include "SimHost.h"
#include "Table.h"
#include "orv_sdk.h"

namespace orvctl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kArchiveSpanDays = 4.0 / 86400.0;  // a few seconds are enough to show the export
constexpr int kArchiveMaxFrames = 40;
constexpr size_t kArchiveCameras = 2;

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
        ExportArchive(cameras);
        ReadPlates(sim);
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
            io_.out << '\n'
                    << skipped
                    << " step(s) skipped because the library answered an error for that feature.\n";
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
