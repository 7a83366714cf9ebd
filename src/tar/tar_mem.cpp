// Memory streams: an archive read from a buffer the caller holds (a download,
// a zip entry), and a one-entry archive built in memory for upload.
#include "tar/tar.h"

#include <algorithm>
#include <cstring>

int tar_mem_read(tar_t *tar, void *data, std::uint32_t size)
{
    if (!tar || !tar->stream || (!data && size != 0))
        return TAR_FAILURE;
    // A truncated archive ends here instead of being read past its end.
    if (tar->pos > tar->stream_size || size > tar->stream_size - tar->pos)
        return TAR_FAILURE;
    if (size != 0)
        std::memcpy(data, static_cast<const std::uint8_t *>(tar->stream) + tar->pos, size);
    return TAR_OK;
}

int tar_mem_seek(tar_t *tar, std::uint32_t pos)
{
    if (!tar || !tar->stream || pos > tar->stream_size)
        return TAR_FAILURE;
    return TAR_OK;
}

int tar_mem_close(tar_t *tar)
{
    if (!tar || !tar->stream)
        return TAR_FAILURE;
    return TAR_OK;
}

int tar_mem_open_read(tar_t *tar, const void *data, std::uint32_t size)
{
    if (!tar)
        return TAR_FAILURE;
    *tar = tar_t{};
    tar->read = tar_mem_read;
    tar->seek = tar_mem_seek;
    tar->close = tar_mem_close;
    tar->stream = data;
    tar->stream_size = data ? size : 0;
    return TAR_OK;
}

int tar_mem_write(tar_t *tar, const void *data, std::uint32_t size)
{
    if (!tar || (!data && size != 0))
        return TAR_FAILURE;
    std::uint64_t end = static_cast<std::uint64_t>(tar->pos) + size;
    if (end > UINT32_MAX)
        return TAR_FAILURE;
    // The vector grows geometrically underneath; its length is exactly the archive's.
    tar->buffer.resize(static_cast<std::size_t>(end));
    if (size != 0)
        std::memcpy(tar->buffer.data() + tar->pos, data, size);
    tar->stream = tar->buffer.data();
    return TAR_OK;
}

int tar_mem_open_write(tar_t *tar)
{
    if (!tar)
        return TAR_FAILURE;
    *tar = tar_t{};
    tar->write = tar_mem_write;
    return TAR_OK;
}

std::vector<std::uint8_t> tar_mem_take(tar_t *tar)
{
    if (!tar)
        return {};
    std::vector<std::uint8_t> archive = std::move(tar->buffer);
    archive.resize(std::min<std::size_t>(archive.size(), tar->pos));
    tar->buffer.clear();
    tar->stream = nullptr;
    return archive;
}
