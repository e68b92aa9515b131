#pragma once
// Decodes an encoded stream with ffmpeg (an independent decoder) for checking what the encoders produce,
// and reads what ffmpeg finds in the headers of an H.264 stream.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quill::testing {

// Decodes an MP3 stream to 32-bit float samples of its left channel at sampleRate. Nullopt when ffmpeg fails
// (the reason goes to *failure).
std::optional<std::vector<float>> decodeMp3WithFfmpeg(const std::vector<uint8_t>& mp3, int sampleRate,
                                                      std::string* failure = nullptr);

// One decoded picture: its size and its luma plane, rows without padding.
struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> luma;
};

// Decodes an H.264 Annex-B stream into its pictures, each at its own size. Nullopt when ffmpeg fails or
// reports an error in the stream (the reason goes to *failure).
std::optional<std::vector<DecodedPicture>> decodeH264WithFfmpeg(const std::vector<uint8_t>& annexB,
                                                                std::string* failure = nullptr);

// The "key=value" lines ffprobe's -show_streams gives for the first video stream of a file.
std::map<std::string, std::string> probeVideoStream(const std::string& file);

// The syntax elements ffmpeg's trace_headers filter reads from the parameter sets and slice headers of
// an H.264 file: each element's name and its values in stream order.
std::map<std::string, std::vector<long>> h264HeaderFields(const std::string& file);

}  // namespace quill::testing
