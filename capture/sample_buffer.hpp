#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The stream format of a buffer of PCM audio: the four fields the capture
// code reads of it.
struct StreamFormat {
  double sampleRate = 0.0;        // Hz
  uint32_t formatFlags = 0;       // kFormatFlag* bits
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
};

inline constexpr uint32_t kFormatFlagIsFloat = 0x1;
inline constexpr uint32_t kFormatFlagIsSignedInteger = 0x4;
inline constexpr uint32_t kFormatFlagIsNonInterleaved = 0x20;

// One buffer of a buffer list: its size in bytes and its data, which may be
// absent. Samples are native-endian.
struct AudioBuffer {
  uint32_t byteSize = 0;
  const std::byte* data = nullptr;
};

// A counted sequence of buffers: one interleaved buffer, or one per channel.
struct AudioBufferList {
  std::vector<AudioBuffer> buffers;
};

// A captured buffer as a source delivers it.
class SampleBuffer {
 public:
  virtual ~SampleBuffer() = default;
  virtual bool isValid() const = 0;
  virtual int64_t numSamples() const = 0;
  // The buffer's stream format, or nothing when it has no usable description.
  virtual std::optional<StreamFormat> streamFormat() const = 0;
  // Runs body with the buffer's list for the duration of the call. Returns the
  // error's description when the list cannot be had (body is then not run).
  virtual std::optional<std::string> withAudioBufferList(
      const std::function<void(const AudioBufferList&)>& body) const = 0;
};

// A sample buffer that owns its bytes: one plane for interleaved audio, one
// per channel for planar audio. Sources on the sound server and the tests'
// scripted sources both deliver these.
class PcmSampleBuffer final : public SampleBuffer {
 public:
  struct Plane {
    uint32_t byteSize = 0;                    // what the buffer list reports
    std::optional<std::vector<std::byte>> bytes;  // absent: the plane has no data
  };

  PcmSampleBuffer(StreamFormat format, std::vector<Plane> planes, int64_t numSamples);

  // A buffer whose list cannot be had; the error text is what the caller logs.
  static PcmSampleBuffer failing(StreamFormat format, int64_t numSamples, std::string error);

  bool isValid() const override { return valid_; }
  int64_t numSamples() const override { return numSamples_; }
  std::optional<StreamFormat> streamFormat() const override { return format_; }
  std::optional<std::string> withAudioBufferList(
      const std::function<void(const AudioBufferList&)>& body) const override;

  void setValid(bool valid) { valid_ = valid; }
  void clearFormat() { format_.reset(); }

 private:
  std::optional<StreamFormat> format_;
  std::vector<Plane> planes_;
  int64_t numSamples_ = 0;
  bool valid_ = true;
  std::optional<std::string> listError_;
};
