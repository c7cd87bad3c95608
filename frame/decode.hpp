// Stored HDF5 chunks decoded outside the interpreter: the filters detectors
// write with, each through the compression library made for it. Nothing here
// touches an interpreter object, so a decode may run on any thread with the
// interpreter's lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace frame {

// One filter of a dataset's pipeline, as HDF5 keeps it: its number and its
// options (the cd_values), in the order the writer applied the filters.
struct Filter {
  unsigned id = 0;
  std::vector<unsigned> options;
};

// Why a chunk could not be decoded: the filter, and what was wrong.
struct DecodeError {
  std::string filter;
  std::string reason;
};

// The decoding of every chunk of one dataset, whose chunks hold chunk_bytes
// once decoded.
class ChunkDecoder {
 public:
  // The decoder of a pipeline whose every filter this package decodes (deflate,
  // shuffle, bitshuffle with or without LZ4 or zstd, LZ4, zstd, Blosc), with at
  // most one that compresses, applied last; none otherwise.
  static std::optional<ChunkDecoder> of(std::vector<Filter> pipeline, size_t chunk_bytes);

  // Decodes the stored bytes of a chunk into `out` (chunk_bytes long). `skipped`
  // is the chunk's filter mask: bit i set means the writer skipped filter i.
  // False, with `error` said, where the bytes do not decode to a whole chunk.
  bool decode(const uint8_t* stored, size_t size, unsigned skipped, uint8_t* out,
              DecodeError& error) const;

  // "bitshuffle with LZ4", "deflate after shuffle": what the pipeline is, for messages.
  std::string describe() const;

 private:
  ChunkDecoder(std::vector<Filter> pipeline, size_t chunk_bytes)
      : pipeline_(std::move(pipeline)), chunk_bytes_(chunk_bytes) {}
  std::vector<Filter> pipeline_;
  size_t chunk_bytes_;
};

}  // namespace frame
