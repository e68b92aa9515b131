#include "support/FfmpegDecode.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

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

}  // namespace quill::testing
