#include "firmware/package_entry.h"

#include "base/limits.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>

// libzip decrypts the WinZip-AES entries and checks their authentication code
// when the encrypted data has been read to its end. Compressed entries are
// opened with ZIP_FL_COMPRESSED and decompressed here: this libzip decodes
// neither LZMA nor XZ, and its own decompressing path reports a false CRC
// error at the end of every AE-2 entry (those carry 0 in the CRC field).

namespace {

constexpr std::size_t input_chunk = 64 * 1024;

enum class step_status { running, finished, failed };

// One decompression method. step() decodes from `in` into `out`, advancing
// both pointers and reducing both sizes by what it used.
class decoder {
public:
    virtual ~decoder() = default;
    virtual step_status step(const std::uint8_t *&in, std::size_t &in_size, std::uint8_t *&out,
                             std::size_t &out_size, bool input_done) = 0;
};

unsigned int clamp_uint(std::size_t size) { return static_cast<unsigned int>(std::min<std::size_t>(size, UINT_MAX)); }

class inflate_decoder : public decoder {
public:
    inflate_decoder() { ready_ = inflateInit2(&z_, -MAX_WBITS) == Z_OK; }
    ~inflate_decoder() override
    {
        if (ready_)
            inflateEnd(&z_);
    }
    bool ready() const { return ready_; }

    step_status step(const std::uint8_t *&in, std::size_t &in_size, std::uint8_t *&out, std::size_t &out_size,
                     bool) override
    {
        z_.next_in = const_cast<Bytef *>(in);
        z_.avail_in = clamp_uint(in_size);
        z_.next_out = out;
        z_.avail_out = clamp_uint(out_size);
        const unsigned int in_given = z_.avail_in, out_given = z_.avail_out;
        int status = inflate(&z_, Z_NO_FLUSH);
        in += in_given - z_.avail_in;
        in_size -= in_given - z_.avail_in;
        out += out_given - z_.avail_out;
        out_size -= out_given - z_.avail_out;
        if (status == Z_STREAM_END)
            return step_status::finished;
        return status == Z_OK || status == Z_BUF_ERROR ? step_status::running : step_status::failed;
    }

private:
    z_stream z_{};
    bool ready_ = false;
};

class bzip2_decoder : public decoder {
public:
    bzip2_decoder() { ready_ = BZ2_bzDecompressInit(&bz_, 0, 0) == BZ_OK; }
    ~bzip2_decoder() override
    {
        if (ready_)
            BZ2_bzDecompressEnd(&bz_);
    }
    bool ready() const { return ready_; }

    step_status step(const std::uint8_t *&in, std::size_t &in_size, std::uint8_t *&out, std::size_t &out_size,
                     bool) override
    {
        bz_.next_in = const_cast<char *>(reinterpret_cast<const char *>(in));
        bz_.avail_in = clamp_uint(in_size);
        bz_.next_out = reinterpret_cast<char *>(out);
        bz_.avail_out = clamp_uint(out_size);
        const unsigned int in_given = bz_.avail_in, out_given = bz_.avail_out;
        int status = BZ2_bzDecompress(&bz_);
        in += in_given - bz_.avail_in;
        in_size -= in_given - bz_.avail_in;
        out += out_given - bz_.avail_out;
        out_size -= out_given - bz_.avail_out;
        if (status == BZ_STREAM_END)
            return step_status::finished;
        return status == BZ_OK ? step_status::running : step_status::failed;
    }

private:
    bz_stream bz_{};
    bool ready_ = false;
};

// Common part of the two liblzma decoders.
class lzma_base_decoder : public decoder {
public:
    ~lzma_base_decoder() override { lzma_end(&strm_); }

protected:
    step_status code(const std::uint8_t *&in, std::size_t &in_size, std::uint8_t *&out, std::size_t &out_size,
                     bool input_done)
    {
        strm_.next_in = in;
        strm_.avail_in = in_size;
        strm_.next_out = out;
        strm_.avail_out = out_size;
        lzma_ret status = lzma_code(&strm_, input_done ? LZMA_FINISH : LZMA_RUN);
        in = strm_.next_in;
        in_size = strm_.avail_in;
        out = strm_.next_out;
        out_size = strm_.avail_out;
        if (status == LZMA_STREAM_END)
            return step_status::finished;
        return status == LZMA_OK || status == LZMA_BUF_ERROR ? step_status::running : step_status::failed;
    }

    lzma_stream strm_ = LZMA_STREAM_INIT;
};

class xz_decoder : public lzma_base_decoder {
public:
    xz_decoder() { ready_ = lzma_stream_decoder(&strm_, FIRMWARE_XZ_MEMORY_MAX, 0) == LZMA_OK; }
    bool ready() const { return ready_; }

    step_status step(const std::uint8_t *&in, std::size_t &in_size, std::uint8_t *&out, std::size_t &out_size,
                     bool input_done) override
    {
        return code(in, in_size, out, out_size, input_done);
    }

private:
    bool ready_ = false;
};

// LZMA as zip stores it: a 4-byte header (the encoder's version, then the
// length of the properties, 5), the 5 property bytes, then the raw stream,
// with or without an end marker. The entry's declared size says where it ends.
class zip_lzma_decoder : public lzma_base_decoder {
public:
    explicit zip_lzma_decoder(std::uint64_t size) : size_(size) {}

    step_status step(const std::uint8_t *&in, std::size_t &in_size, std::uint8_t *&out, std::size_t &out_size,
                     bool input_done) override
    {
        while (header_used_ < sizeof header_) {
            if (in_size == 0)
                return input_done ? step_status::failed : step_status::running;
            header_[header_used_++] = *in++;
            --in_size;
            if (header_used_ == sizeof header_ && !start())
                return step_status::failed;
        }
        return code(in, in_size, out, out_size, input_done);
    }

private:
    bool start()
    {
        if (header_[2] != 5 || header_[3] != 0)
            return false;
        unsigned int lclppb = header_[4];
        if (lclppb >= 9 * 5 * 5)
            return false;
        lzma_options_lzma options{};
        options.lc = lclppb % 9;
        options.lp = (lclppb / 9) % 5;
        options.pb = lclppb / 45;
        std::uint32_t dictionary = std::uint32_t{header_[5]} | std::uint32_t{header_[6]} << 8 |
                                   std::uint32_t{header_[7]} << 16 | std::uint32_t{header_[8]} << 24;
        // No match reaches further back than the output is long: a dictionary
        // larger than the declared size would only cost memory.
        options.dict_size = static_cast<std::uint32_t>(
            std::clamp<std::uint64_t>(std::min<std::uint64_t>(dictionary, size_), LZMA_DICT_SIZE_MIN, UINT32_MAX));
        options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        options.ext_size_low = static_cast<std::uint32_t>(size_);
        options.ext_size_high = static_cast<std::uint32_t>(size_ >> 32);
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        return lzma_raw_decoder(&strm_, filters) == LZMA_OK;
    }

    std::uint64_t size_;
    std::uint8_t header_[9] = {};
    std::size_t header_used_ = 0;
};

std::unique_ptr<decoder> make_decoder(zip_int32_t method, std::uint64_t size)
{
    switch (method) {
    case ZIP_CM_DEFLATE: {
        auto d = std::make_unique<inflate_decoder>();
        return d->ready() ? std::move(d) : nullptr;
    }
    case ZIP_CM_BZIP2: {
        auto d = std::make_unique<bzip2_decoder>();
        return d->ready() ? std::move(d) : nullptr;
    }
    case ZIP_CM_LZMA:
        return std::make_unique<zip_lzma_decoder>(size);
    case ZIP_CM_XZ: {
        auto d = std::make_unique<xz_decoder>();
        return d->ready() ? std::move(d) : nullptr;
    }
    default:
        return nullptr;
    }
}

struct zip_file_closer {
    void operator()(zip_file_t *file) const { zip_fclose(file); }
};
using zip_file_ptr = std::unique_ptr<zip_file_t, zip_file_closer>;

// A stored entry: exactly its declared size, then one more read to reach the
// end, where libzip checks the authentication code and the CRC. An AE-2 entry
// (CRC field 0) always ends in a CRC error here, whether or not its code was
// right; its content is then vouched for by the image digest alone.
entry_result read_stored(zip_file_t *file, const zip_stat_t &info, std::vector<std::uint8_t> &out)
{
    if (info.size > info.comp_size)
        return entry_result::read_failed;
    out.resize(static_cast<std::size_t>(info.size));
    std::size_t done = 0;
    while (done < out.size()) {
        zip_int64_t n = zip_fread(file, out.data() + done, out.size() - done);
        if (n <= 0)
            return entry_result::read_failed;
        done += static_cast<std::size_t>(n);
    }
    std::uint8_t extra;
    zip_int64_t n = zip_fread(file, &extra, 1);
    if (n > 0)
        return entry_result::read_failed;
    if (n < 0) {
        const bool crc_field_empty = (info.valid & ZIP_STAT_CRC) && info.crc == 0;
        if (!crc_field_empty || zip_error_code_zip(zip_file_get_error(file)) != ZIP_ER_CRC)
            return entry_result::read_failed;
    }
    return entry_result::ok;
}

entry_result read_compressed(zip_file_t *file, decoder &dec, const zip_stat_t &info, std::vector<std::uint8_t> &out)
{
    const std::uint64_t declared = info.size;
    std::vector<std::uint8_t> chunk(input_chunk);
    // The declared size is within the caller's limit: the whole output fits.
    out.resize(static_cast<std::size_t>(declared));
    std::size_t produced = 0;
    std::uint8_t spill = 0; // output beyond the declared size lands here and fails the entry
    bool input_done = false;
    bool finished = false;

    while (!input_done) {
        zip_int64_t n = zip_fread(file, chunk.data(), chunk.size());
        if (n < 0)
            return entry_result::read_failed;
        input_done = n == 0;
        const std::uint8_t *in = chunk.data();
        std::size_t in_size = static_cast<std::size_t>(n);
        // After the decoder has finished, the rest of the data is only read
        // through, so that libzip reaches the authentication code at its end.
        while (!finished) {
            const bool into_spill = produced == out.size();
            std::uint8_t *dst = into_spill ? &spill : out.data() + produced;
            std::size_t room = into_spill ? 1 : out.size() - produced;
            const std::size_t in_before = in_size, room_before = room;
            step_status status = dec.step(in, in_size, dst, room, input_done);
            const std::size_t wrote = room_before - room;
            if (status == step_status::failed || (into_spill && wrote > 0))
                return entry_result::read_failed;
            produced += wrote;
            if (status == step_status::finished) {
                finished = true;
                break;
            }
            if (wrote == 0 && in_size == in_before) {
                if (input_done)
                    return entry_result::read_failed; // the data ends before the stream does
                break;
            }
            if (in_size == 0 && room > 0 && !input_done)
                break;
        }
    }
    if (!finished || produced != declared)
        return entry_result::read_failed;
    // AE-1 entries keep the CRC of the content; AE-2 entries have 0 there.
    if ((info.valid & ZIP_STAT_CRC) && info.crc != 0) {
        uLong crc = crc32(0L, Z_NULL, 0);
        for (std::size_t at = 0; at < out.size(); at += UINT_MAX)
            crc = crc32(crc, out.data() + at, clamp_uint(out.size() - at));
        if (crc != info.crc)
            return entry_result::read_failed;
    }
    return entry_result::ok;
}

} // namespace

entry_result package_entry_read(zip_t *archive, zip_uint64_t index, const zip_stat_t &info, const char *password,
                                std::uint64_t limit, std::vector<std::uint8_t> &out)
{
    out.clear();
    zip_file_ptr file(zip_fopen_index_encrypted(archive, index, ZIP_FL_COMPRESSED, password));
    if (!file)
        return entry_result::open_failed;
    std::unique_ptr<decoder> dec;
    if (info.comp_method != ZIP_CM_STORE) {
        dec = make_decoder(info.comp_method, info.size);
        if (!dec)
            return entry_result::open_failed;
    }
    if (info.size > limit)
        return entry_result::too_large;

    entry_result result;
    try {
        result = dec ? read_compressed(file.get(), *dec, info, out) : read_stored(file.get(), info, out);
    } catch (const std::bad_alloc &) {
        result = entry_result::no_memory;
    }
    if (result != entry_result::ok)
        out = {};
    return result;
}
