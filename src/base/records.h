// Plain records that several layers pass around: a download's receive buffer
// and a file held whole in memory.
#pragma once

#include "base/format.h"

#include <cstdint>
#include <vector>

// Receive buffer of a download: `data` holds exactly `size` bytes, empty while
// nothing has been received.
struct mem_buffer {
    std::uint32_t size = 0;
    std::vector<std::uint8_t> data;
};

// The bytes a buffer really holds: its count, never past its data.
inline std::uint32_t mem_buffer_held(const mem_buffer &buffer)
{
    return buffer.size < buffer.data.size() ? buffer.size : static_cast<std::uint32_t>(buffer.data.size());
}

// A file held whole in memory. `data`/`length` are the bytes to send (the TFTP
// read callback advances them; the upload puts them back afterwards);
// `storage` owns the bytes when the record holds its own file.
struct file_data {
    char path[PATH_FIELD_SIZE] = {};
    std::uint32_t length = 0;
    const std::uint8_t *data = nullptr;
    std::vector<std::uint8_t> storage;
};
