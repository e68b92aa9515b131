#pragma once
// Decodes an encoded stream with ffmpeg (an independent decoder) for checking what the encoders produce.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quill::testing {

// Decodes an MP3 stream to 32-bit float samples of its left channel at sampleRate. Nullopt when ffmpeg fails
// (the reason goes to *failure).
std::optional<std::vector<float>> decodeMp3WithFfmpeg(const std::vector<uint8_t>& mp3, int sampleRate,
                                                      std::string* failure = nullptr);

}  // namespace quill::testing
