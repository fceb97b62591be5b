#include "sim/SimConfig.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace orv_sim {
namespace {

using Json = nlohmann::json;

CameraKind ParseKind(const std::string& text) {
    if (text == "jpeg") return CameraKind::Jpeg;
    if (text == "jpeg-blocks") return CameraKind::JpegBlocks;
    if (text == "mpeg4") return CameraKind::Mpeg4;
    if (text == "h264") return CameraKind::H264;
    throw std::runtime_error("unknown camera kind \"" + text + "\" (jpeg, jpeg-blocks, mpeg4, h264)");
}

Subsampling ParseSubsampling(const std::string& text) {
    if (text == "420") return Subsampling::S420;
    if (text == "422") return Subsampling::S422;
    if (text == "444") return Subsampling::S444;
    if (text == "grey" || text == "gray") return Subsampling::Grey;
    throw std::runtime_error("unknown subsampling \"" + text + "\" (420, 422, 444, grey)");
}

BlockLayout ParseLayout(const std::string& text) {
    if (text == "table") return BlockLayout::Table;
    if (text == "chain") return BlockLayout::Chain;
    throw std::runtime_error("unknown block layout \"" + text + "\" (table, chain)");
}

void CheckKeys(const Json& object, std::initializer_list<const char*> allowed, const std::string& where) {
    for (const auto& item : object.items()) {
        const bool known =
            std::any_of(allowed.begin(), allowed.end(), [&](const char* key) { return item.key() == key; });
        if (!known) throw std::runtime_error("unknown key \"" + item.key() + "\" in " + where);
    }
}

void ApplyCamera(const Json& j, CameraConfig& c) {
    if (!j.is_object()) throw std::runtime_error("a camera must be an object");
    CheckKeys(j,
              {"kind", "width", "height", "subsampling", "fps", "quality", "gop", "layout", "bFrames", "name",
               "active", "plates", "plateInterval"},
              "camera");
    if (j.contains("kind")) c.kind = ParseKind(j.at("kind").get<std::string>());
    if (j.contains("width")) c.width = j.at("width").get<int>();
    if (j.contains("height")) c.height = j.at("height").get<int>();
    if (j.contains("subsampling")) c.subsampling = ParseSubsampling(j.at("subsampling").get<std::string>());
    if (j.contains("fps")) c.fps = j.at("fps").get<int>();
    if (j.contains("quality")) c.quality = j.at("quality").get<int>();
    if (j.contains("gop")) c.gop = j.at("gop").get<int>();
    if (j.contains("layout")) c.layout = ParseLayout(j.at("layout").get<std::string>());
    if (j.contains("bFrames")) c.bFrames = j.at("bFrames").get<int>();
    if (j.contains("name")) c.name = j.at("name").get<std::string>();
    if (j.contains("active")) c.active = j.at("active").get<bool>();
    if (j.contains("plates")) c.plates = j.at("plates").get<bool>();
    if (j.contains("plateInterval")) c.plateIntervalSeconds = j.at("plateInterval").get<double>();
}

void ApplyFaults(const Json& j, FaultConfig& f) {
    if (!j.is_object()) throw std::runtime_error("\"faults\" must be an object");
    CheckKeys(j,
              {"refuseConnections", "silent", "closeAfterRequests", "truncateReply", "wrongMagic",
               "oversizedLengths", "slowChunkBytes", "slowDelayMs", "onlyCommand", "garbageEvery", "restartEveryMs",
               "plateFloodPerSecond"},
              "faults");
    f.refuseConnections = j.value("refuseConnections", f.refuseConnections);
    f.silent = j.value("silent", f.silent);
    f.closeAfterRequests = j.value("closeAfterRequests", f.closeAfterRequests);
    f.truncateReply = j.value("truncateReply", f.truncateReply);
    f.wrongMagic = j.value("wrongMagic", f.wrongMagic);
    f.oversizedLengths = j.value("oversizedLengths", f.oversizedLengths);
    f.slowChunkBytes = j.value("slowChunkBytes", f.slowChunkBytes);
    f.slowDelayMs = j.value("slowDelayMs", f.slowDelayMs);
    f.onlyCommand = j.value("onlyCommand", f.onlyCommand);
    f.garbageEvery = j.value("garbageEvery", f.garbageEvery);
    f.restartEveryMs = j.value("restartEveryMs", f.restartEveryMs);
    f.plateFloodPerSecond = j.value("plateFloodPerSecond", f.plateFloodPerSecond);
}

ServerConfig ParseServer(const Json& j, const Json* cameraDefaults, int firstIndex) {
    if (!j.is_object()) throw std::runtime_error("a server must be an object");
    CheckKeys(j, {"port", "firstCamera", "password", "archiveSeconds", "faults", "cameras", "cameraCount"},
              "server");
    ServerConfig s;
    const int port = j.value("port", 0);
    if (port < 0 || port > 65535) throw std::runtime_error("port out of range");
    s.port = static_cast<uint16_t>(port);
    s.firstCamera = j.value("firstCamera", -1);
    s.password = j.value("password", std::string());
    s.archiveSeconds = j.value("archiveSeconds", s.archiveSeconds);
    if (j.contains("faults")) ApplyFaults(j.at("faults"), s.faults);
    const Json cameras = j.value("cameras", Json::array());
    if (!cameras.is_array()) throw std::runtime_error("\"cameras\" must be an array");
    const int count = std::max(j.value("cameraCount", 0), static_cast<int>(cameras.size()));
    const int base = s.firstCamera >= 0 ? s.firstCamera : firstIndex;
    for (int i = 0; i < count; ++i) {
        CameraConfig c = DefaultCamera(base + i);
        if (cameraDefaults != nullptr) ApplyCamera(*cameraDefaults, c);
        if (static_cast<size_t>(i) < cameras.size()) ApplyCamera(cameras[static_cast<size_t>(i)], c);
        s.cameras.push_back(Sanitised(c));
    }
    if (s.cameras.size() > static_cast<size_t>(kMaxCamerasPerServer)) {
        throw std::runtime_error("a server has at most 128 cameras");
    }
    return s;
}

int RoundDownTo8(int v) {
    return v / 8 * 8;
}

}  // namespace

CameraConfig Sanitised(CameraConfig c) {
    c.width = RoundDownTo8(std::clamp(c.width, 16, 3840));
    c.height = RoundDownTo8(std::clamp(c.height, 16, 2160));
    c.fps = std::clamp(c.fps, 1, 100);
    c.quality = std::clamp(c.quality, 1, 100);
    c.gop = std::clamp(c.gop, 1, 600);
    c.bFrames = std::clamp(c.bFrames, 0, kMaxBFrames);
    c.plateIntervalSeconds = std::clamp(c.plateIntervalSeconds, 0.05, 86400.0);
    if (c.name.size() > 127) c.name.resize(127);  // the client reads names into 128 bytes
    return c;
}

CameraConfig DefaultCamera(int cameraIndex) {
    CameraConfig c;
    switch (cameraIndex % 8) {
        case 0:
            break;
        case 1:
            c.kind = CameraKind::JpegBlocks;
            break;
        case 2:
            c.kind = CameraKind::Mpeg4;
            c.layout = BlockLayout::Table;
            break;
        case 3:
            c.kind = H264EncoderAvailable() ? CameraKind::H264 : CameraKind::Mpeg4;
            c.layout = BlockLayout::Chain;
            break;
        case 4:
            c.subsampling = Subsampling::Grey;
            break;
        case 5:
            c.active = false;
            break;
        case 6:
            c.subsampling = Subsampling::S422;
            break;
        case 7:
            c.subsampling = Subsampling::S444;
            break;
        default:
            break;
    }
    return Sanitised(c);
}

std::vector<ServerConfig> ParseConfig(const std::string& jsonText) {
    Json doc;
    try {
        doc = Json::parse(jsonText);
    } catch (const Json::exception& e) {
        throw std::runtime_error(std::string("configuration is not valid JSON: ") + e.what());
    }
    if (!doc.is_object()) throw std::runtime_error("configuration must be a JSON object");
    try {
        CheckKeys(doc, {"servers", "cameraDefaults"}, "configuration");
        const Json* defaults = doc.contains("cameraDefaults") ? &doc.at("cameraDefaults") : nullptr;
        const Json servers = doc.value("servers", Json::array());
        if (!servers.is_array() || servers.empty())
            throw std::runtime_error("\"servers\" must be a non-empty array");
        std::vector<ServerConfig> out;
        int next = 0;
        for (const Json& s : servers) {
            out.push_back(ParseServer(s, defaults, next));
            const int first = out.back().firstCamera >= 0 ? out.back().firstCamera : next;
            next = first + static_cast<int>(out.back().cameras.size());
        }
        return out;
    } catch (const Json::exception& e) {
        throw std::runtime_error(std::string("configuration has a value of the wrong type: ") + e.what());
    }
}

std::vector<ServerConfig> LoadConfigFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read configuration file " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return ParseConfig(text.str());
}

}  // namespace orv_sim
