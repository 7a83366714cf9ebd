// Channel files for the model tests: patterned files, download records, where
// two files differ, and the checksum by the simulated controller's own
// bit-by-bit CRC (the independent oracle).
#pragma once

#include "controller-sim/configs.h"
#include "model/channel_file.h"
#include "model/config_archive.h"

#include "support.h"

#include <string>
#include <vector>

// `size` bytes whose bytes all differ from their neighbours, with the layout
// version in its header when the file is long enough to hold one.
inline bytes patterned_file(std::uint32_t size, std::uint32_t layout_version, std::uint32_t seed = 1)
{
    bytes file(size);
    for (std::uint32_t i = 0; i < size; ++i)
        file[i] = static_cast<std::uint8_t>((i * 7 + seed * 13 + i / 251) & 0xFF);
    if (size >= DALI_DEVICES) {
        dali_put_u32(file.data(), DALI_FILE_SIZE, size);
        dali_put_u32(file.data(), DALI_LAYOUT_VERSION, layout_version);
    }
    return file;
}

// The checksum a channel file should hold in bytes 4 to 7: the CRC of the
// file with that field zeroed.
inline std::uint32_t channel_checksum(bytes file)
{
    for (std::size_t i = 4; i < 8 && i < file.size(); ++i)
        file[i] = 0;
    return channel_file_crc(file.data(), file.size());
}

inline backup_download make_download(bytes archive, const char *firmware_version)
{
    backup_download download;
    download.size = static_cast<std::uint32_t>(archive.size());
    download.data = std::move(archive);
    if (firmware_version != nullptr)
        download.firmware_version = firmware_version;
    return download;
}

inline std::vector<std::uint32_t> differing_offsets(const std::uint8_t *a, const std::uint8_t *b, std::uint32_t size)
{
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 0; i < size; ++i)
        if (a[i] != b[i])
            offsets.push_back(i);
    return offsets;
}

// For a failure message: the sizes, or the first offsets at which two files differ.
inline std::string where_different(const bytes &a, const bytes &b)
{
    if (a.size() != b.size())
        return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
    std::string text = "differ at";
    const auto offsets = differing_offsets(a.data(), b.data(), static_cast<std::uint32_t>(a.size()));
    for (std::size_t i = 0; i < offsets.size() && i < 32; ++i)
        text += " " + std::to_string(offsets[i]);
    return text + " (" + std::to_string(offsets.size()) + " in all)";
}
