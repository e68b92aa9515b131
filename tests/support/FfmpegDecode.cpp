#include "support/FfmpegDecode.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "support/ShellCommand.h"
#include "support/TempFolder.h"

namespace quill::testing {

std::optional<std::vector<float>> decodeMp3WithFfmpeg(const std::vector<uint8_t>& mp3, int sampleRate,
                                                      std::string* failure) {
    testing::TempFolder dir;
    const std::string in = dir / "in.mp3", out = dir / "out.raw", log = dir / "ffmpeg.log";
    {
        std::ofstream f(in, std::ios::binary);
        f.write(reinterpret_cast<const char*>(mp3.data()), static_cast<std::streamsize>(mp3.size()));
    }
    // The paths are ours (a fresh temporary folder), so quoting them is enough.
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -f mp3 -i '" + in +
                            "' -af 'pan=mono|c0=c0' -ar " + std::to_string(sampleRate) + " -f f32le -y '" +
                            out + "' 2> '" + log + "'";
    const int status = std::system(cmd.c_str());
    if (status != 0) {
        if (failure) {
            std::ifstream l(log);
            *failure = "ffmpeg failed (status " + std::to_string(status) +
                       "): " + std::string(std::istreambuf_iterator<char>(l), {});
        }
        return std::nullopt;
    }
    std::ifstream f(out, std::ios::binary);
    std::vector<char> raw((std::istreambuf_iterator<char>(f)), {});
    std::vector<float> samples(raw.size() / sizeof(float));
    std::copy(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(samples.size() * sizeof(float)),
              reinterpret_cast<char*>(samples.data()));
    return samples;
}

namespace {

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

std::optional<std::vector<DecodedPicture>> decodeH264WithFfmpeg(const std::vector<uint8_t>& annexB,
                                                                std::string* failure) {
    testing::TempFolder dir;
    const std::string in = dir / "in.h264", out = dir / "out.yuv";
    writeBytes(in, annexB);
    // The size of every picture first, then the pictures one after the other as decoded (4:2:0, the luma
    // levels untouched), each at its own size (-autoscale 0: no scaling to the first picture's size).
    auto [sizes, probed] = runShellCommand(
        "ffprobe -v error -select_streams v:0 -show_entries frame=width,height "
        "-of csv=p=0 '" +
        in + "'");
    auto [log, decoded] = runShellCommand("ffmpeg -nostdin -hide_banner -v error -xerror -i '" + in +
                                          "' -autoscale 0 -f rawvideo -pix_fmt yuv420p -y '" + out + "'");
    if (probed != 0 || decoded != 0 || !log.empty()) {
        if (failure) *failure = "ffmpeg failed: " + sizes + log;
        return std::nullopt;
    }
    std::ifstream f(out, std::ios::binary);
    const std::vector<char> raw((std::istreambuf_iterator<char>(f)), {});
    std::vector<DecodedPicture> pictures;
    std::istringstream lines(sizes);
    std::string line;
    size_t at = 0;
    while (std::getline(lines, line)) {
        DecodedPicture p;
        if (std::sscanf(line.c_str(), "%d,%d", &p.width, &p.height) != 2) continue;
        const size_t lumaSize = static_cast<size_t>(p.width) * static_cast<size_t>(p.height);
        const size_t size = lumaSize + 2 * (static_cast<size_t>((p.width + 1) / 2) * ((p.height + 1) / 2));
        if (raw.size() - at < size) break;
        p.luma.assign(raw.begin() + static_cast<std::ptrdiff_t>(at),
                      raw.begin() + static_cast<std::ptrdiff_t>(at + lumaSize));
        at += size;
        pictures.push_back(std::move(p));
    }
    if (at != raw.size()) {
        if (failure) *failure = "decoded bytes do not match the picture sizes: " + sizes;
        return std::nullopt;
    }
    return pictures;
}

std::map<std::string, std::string> probeVideoStream(const std::string& file) {
    std::map<std::string, std::string> info;
    std::istringstream lines(
        commandOutput("ffprobe -v error -show_streams -select_streams v:0 '" + file + "'").first);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) info[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return info;
}

std::map<std::string, std::vector<long>> h264HeaderFields(const std::string& file) {
    // Lines such as "[trace_headers @ 0x...] 37          max_num_ref_frames          010 = 1".
    const std::regex element(R"(\[trace_headers @ [^\]]*\]\s+\d+\s+(\w+)\s+[01]+\s+=\s+(-?\d+)\s*$)");
    std::map<std::string, std::vector<long>> fields;
    std::istringstream lines(runShellCommand("ffmpeg -nostdin -hide_banner -v info -i '" + file +
                                             "' -c copy -bsf:v trace_headers -f null -")
                                 .first);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, m, element)) fields[m[1]].push_back(std::stol(m[2]));
    }
    return fields;
}

}  // namespace quill::testing
