// Stored HDF5 chunks decoded by the libraries of their filters. Each filter's
// chunk framing (the headers HDF5's filter plugins put around the compressed
// blocks) is read here with every length checked against the bytes at hand,
// so that a truncated or corrupt chunk is an error, never a read past it.
#include "decode.hpp"

#include <blosc.h>
#include <libdeflate.h>
#include <lz4.h>
#include <shuffle.h>
#include <zstd.h>

#include <cstring>
#include <memory>

#include "bitshuffle_core.h"
#include "bitshuffle_internals.h"

namespace frame {

namespace {

enum FilterId : unsigned {
  deflate_id = 1,
  shuffle_id = 2,
  blosc_id = 32001,
  lz4_id = 32004,
  bitshuffle_id = 32008,
  zstd_id = 32015,
};

// The compression a bitshuffle filter applies after the shuffle (its fifth option).
enum BitshuffleCompression : unsigned { no_compression = 0, with_lz4 = 2, with_zstd = 3 };

unsigned option(const Filter& filter, size_t at, unsigned otherwise) {
  return at < filter.options.size() ? filter.options[at] : otherwise;
}

unsigned bitshuffle_compression(const Filter& filter) { return option(filter, 4, no_compression); }

bool decodable(const Filter& filter) {
  switch (filter.id) {
    case deflate_id:
    case shuffle_id:
    case blosc_id:
    case lz4_id:
    case zstd_id:
      return true;
    case bitshuffle_id: {
      unsigned compression = bitshuffle_compression(filter);
      return option(filter, 2, 0) > 0 &&
             (compression == no_compression || compression == with_lz4 || compression == with_zstd);
    }
    default:
      return false;
  }
}

// Whether the filter changes a chunk's size; the others only reorder its bytes.
bool compresses(const Filter& filter) {
  if (filter.id == shuffle_id) return false;
  if (filter.id == bitshuffle_id) return bitshuffle_compression(filter) != no_compression;
  return true;
}

std::string name_of(const Filter& filter) {
  switch (filter.id) {
    case deflate_id:
      return "deflate";
    case shuffle_id:
      return "shuffle";
    case blosc_id:
      return "Blosc";
    case lz4_id:
      return "LZ4";
    case zstd_id:
      return "zstd";
    case bitshuffle_id:
      switch (bitshuffle_compression(filter)) {
        case with_lz4:
          return "bitshuffle with LZ4";
        case with_zstd:
          return "bitshuffle with zstd";
        default:
          return "bitshuffle";
      }
    default:
      return "filter " + std::to_string(filter.id);
  }
}

uint64_t big_endian(const uint8_t* at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | at[i];
  return value;
}

// What one thread keeps for its decodes: the decompressors' contexts and
// buffers between the stages of a pipeline, made once per thread.
struct Scratch {
  std::vector<uint8_t> between[2];
  std::vector<uint8_t> block;
  std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater{
      nullptr, libdeflate_free_decompressor};
  std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> zstd{nullptr, ZSTD_freeDCtx};
};

Scratch& scratch() {
  thread_local Scratch kept;
  return kept;
}

// The result of one stage: empty when it decoded, else what was wrong.
using Outcome = std::string;

Outcome inflate(const uint8_t* in, size_t size, uint8_t* out, size_t out_size) {
  auto& inflater = scratch().inflater;
  if (!inflater) inflater.reset(libdeflate_alloc_decompressor());
  if (!inflater) return "out of memory";
  switch (libdeflate_zlib_decompress(inflater.get(), in, size, out, out_size, nullptr)) {
    case LIBDEFLATE_SUCCESS:
      return {};
    case LIBDEFLATE_SHORT_OUTPUT:
      return "it decodes to fewer bytes than a chunk";
    case LIBDEFLATE_INSUFFICIENT_SPACE:
      return "it decodes to more bytes than a chunk";
    default:
      return "not a valid deflate stream";
  }
}

Outcome zstd_frames(const uint8_t* in, size_t size, uint8_t* out, size_t out_size) {
  auto& context = scratch().zstd;
  if (!context) context.reset(ZSTD_createDCtx());
  if (!context) return "out of memory";
  size_t made = ZSTD_decompressDCtx(context.get(), out, out_size, in, size);
  if (ZSTD_isError(made)) return ZSTD_getErrorName(made);
  if (made != out_size) return "the frame holds " + std::to_string(made) + " bytes";
  return {};
}

Outcome lz4_block(const uint8_t* in, size_t size, uint8_t* out, size_t out_size) {
  if (size > INT32_MAX || out_size > INT32_MAX) return "a block too large for LZ4";
  int made = LZ4_decompress_safe(reinterpret_cast<const char*>(in), reinterpret_cast<char*>(out),
                                 static_cast<int>(size), static_cast<int>(out_size));
  if (made < 0) return "not a valid LZ4 block";
  if (static_cast<size_t>(made) != out_size) return "an LZ4 block shorter than its header says";
  return {};
}

// HDF5's LZ4 filter: the chunk's size (8 bytes), the block size (4 bytes),
// then each block as its stored size (4 bytes) and its bytes, kept as they
// were where compressing would not have made them smaller.
Outcome lz4_filter(const uint8_t* in, size_t size, uint8_t* out, size_t out_size) {
  if (size < 12) return "shorter than its header";
  uint64_t total = big_endian(in, 8), block = big_endian(in + 8, 4);
  if (total != out_size) return "its header gives " + std::to_string(total) + " bytes";
  if (block == 0) return "its header gives blocks of 0 bytes";
  size_t at = 12, done = 0;
  while (done < out_size) {
    size_t length = std::min<uint64_t>(block, out_size - done);
    if (size - at < 4) return "truncated";
    size_t stored = big_endian(in + at, 4);
    at += 4;
    if (stored > size - at) return "truncated";
    if (stored == length) {
      std::memcpy(out + done, in + at, length);
    } else if (Outcome failed = lz4_block(in + at, stored, out + done, length); !failed.empty()) {
      return failed;
    }
    at += stored;
    done += length;
  }
  return {};
}

Outcome unbitshuffle(const Filter& filter, const uint8_t* in, size_t size, uint8_t* out,
                     size_t out_size) {
  size_t item = option(filter, 2, 0);
  if (out_size % item != 0) return "a chunk that is not whole elements";
  if (size != out_size) return "stored with " + std::to_string(size) + " bytes";
  if (bshuf_bitunshuffle(in, out, out_size / item, item, option(filter, 3, 0)) < 0)
    return "a block size that is not a multiple of 8";
  return {};
}

// The bitshuffle filter with compression: the chunk's size (8 bytes) and the
// block size in bytes (4), then each block compressed on its own after its
// stored size (4 bytes). A last block holds the elements left over, rounded
// down to a multiple of 8; the last elements beyond that are stored as they are.
Outcome compressed_bitshuffle(const Filter& filter, const uint8_t* in, size_t size, uint8_t* out,
                              size_t out_size) {
  constexpr size_t multiple = 8;
  size_t item = option(filter, 2, 0);
  if (size < 12) return "shorter than its header";
  uint64_t total = big_endian(in, 8), block_bytes = big_endian(in + 8, 4);
  if (total != out_size) return "its header gives " + std::to_string(total) + " bytes";
  if (out_size % item != 0) return "a chunk that is not whole elements";
  size_t block = block_bytes / item, elements = out_size / item;
  if (block == 0 || block % multiple != 0 || block_bytes % item != 0)
    return "its header gives blocks of " + std::to_string(block_bytes) + " bytes";
  auto& shuffled = scratch().block;
  size_t at = 12, done = 0;
  auto decode_block = [&](size_t count) -> Outcome {
    size_t length = count * item;
    if (size - at < 4) return "truncated";
    size_t stored = big_endian(in + at, 4);
    at += 4;
    if (stored > size - at) return "truncated";
    shuffled.resize(length);
    Outcome failed = bitshuffle_compression(filter) == with_lz4
                         ? lz4_block(in + at, stored, shuffled.data(), length)
                         : zstd_frames(in + at, stored, shuffled.data(), length);
    if (!failed.empty()) return failed;
    if (bshuf_untrans_bit_elem(shuffled.data(), out + done, count, item) < 0)
      return "a block the bitshuffle library refused";
    at += stored;
    done += length;
    return {};
  };
  for (size_t whole = elements / block; whole > 0; --whole)
    if (Outcome failed = decode_block(block); !failed.empty()) return failed;
  size_t rest = elements % block;
  if (rest - rest % multiple > 0)
    if (Outcome failed = decode_block(rest - rest % multiple); !failed.empty()) return failed;
  size_t left = rest % multiple * item;
  if (size - at < left) return "truncated";
  std::memcpy(out + done, in + at, left);
  return {};
}

Outcome blosc_chunk(const uint8_t* in, size_t size, uint8_t* out, size_t out_size) {
  size_t holds = 0;
  if (blosc_cbuffer_validate(in, size, &holds) != 0) return "not a valid Blosc buffer";
  if (holds != out_size) return "it holds " + std::to_string(holds) + " bytes";
  if (blosc_decompress_ctx(in, out, out_size, 1) != static_cast<int>(out_size))
    return "not a valid Blosc buffer";
  return {};
}

Outcome unshuffle(const Filter& filter, const uint8_t* in, size_t size, uint8_t* out,
                  size_t out_size) {
  if (size != out_size) return "stored with " + std::to_string(size) + " bytes";
  size_t item = option(filter, 0, 1);
  if (item <= 1)
    std::memcpy(out, in, size);
  else
    blosc_internal_unshuffle(item, size, in, out);
  return {};
}

Outcome undo(const Filter& filter, const uint8_t* in, size_t size, uint8_t* out, size_t out_size) {
  switch (filter.id) {
    case deflate_id:
      return inflate(in, size, out, out_size);
    case shuffle_id:
      return unshuffle(filter, in, size, out, out_size);
    case blosc_id:
      return blosc_chunk(in, size, out, out_size);
    case lz4_id:
      return lz4_filter(in, size, out, out_size);
    case zstd_id:
      return zstd_frames(in, size, out, out_size);
    default:
      return bitshuffle_compression(filter) == no_compression
                 ? unbitshuffle(filter, in, size, out, out_size)
                 : compressed_bitshuffle(filter, in, size, out, out_size);
  }
}

}  // namespace

std::optional<ChunkDecoder> ChunkDecoder::of(std::vector<Filter> pipeline, size_t chunk_bytes) {
  if (pipeline.empty() || pipeline.size() > 32 || chunk_bytes == 0) return std::nullopt;
  for (size_t i = 0; i < pipeline.size(); ++i) {
    if (!decodable(pipeline[i])) return std::nullopt;
    // A chunk keeps its size through every filter but the last.
    if (compresses(pipeline[i]) && i + 1 != pipeline.size()) return std::nullopt;
  }
  return ChunkDecoder(std::move(pipeline), chunk_bytes);
}

bool ChunkDecoder::decode(const uint8_t* stored, size_t size, unsigned skipped, uint8_t* out,
                          DecodeError& error) const {
  // Undone last filter first; the first one that is undone writes into `out`.
  size_t first_undone = pipeline_.size();
  for (size_t i = 0; i < pipeline_.size(); ++i)
    if (!(skipped >> i & 1u)) {
      first_undone = i;
      break;
    }
  if (first_undone == pipeline_.size()) {
    if (size != chunk_bytes_) {
      error = {describe(), "a chunk stored unfiltered with " + std::to_string(size) + " bytes"};
      return false;
    }
    std::memcpy(out, stored, size);
    return true;
  }
  const uint8_t* in = stored;
  int turn = 0;
  for (size_t i = pipeline_.size(); i-- > first_undone;) {
    if (skipped >> i & 1u) continue;
    uint8_t* target = out;
    if (i != first_undone) {
      auto& between = scratch().between[turn ^= 1];
      between.resize(chunk_bytes_);
      target = between.data();
    }
    if (Outcome failed = undo(pipeline_[i], in, size, target, chunk_bytes_); !failed.empty()) {
      error = {name_of(pipeline_[i]), failed};
      return false;
    }
    in = target;
    size = chunk_bytes_;
  }
  return true;
}

std::string ChunkDecoder::describe() const {
  std::string text;
  for (const Filter& filter : pipeline_) text += (text.empty() ? "" : " and ") + name_of(filter);
  return text;
}

}  // namespace frame
