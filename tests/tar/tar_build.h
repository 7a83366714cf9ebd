// Archives for tests, built with the layer's memory writer, and the checksum
// of a header record edited by hand.
#pragma once

#include "tar/tar.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

struct tar_test_entry {
    std::string name;
    std::vector<std::uint8_t> data;
};

inline std::vector<std::uint8_t> tar_build(const std::vector<tar_test_entry> &entries)
{
    tar_t tar;
    EXPECT_EQ(tar_mem_open_write(&tar), TAR_OK);
    for (const tar_test_entry &e : entries) {
        EXPECT_EQ(tar_write_file_header(&tar, e.name.c_str(), static_cast<std::uint32_t>(e.data.size())), TAR_OK);
        EXPECT_EQ(tar_write_data(&tar, e.data.data(), static_cast<std::uint32_t>(e.data.size())), TAR_OK);
    }
    EXPECT_EQ(tar_finalize(&tar), TAR_OK);
    return tar_mem_take(&tar);
}

// Stores the checksum of a record edited by hand, in the layer's own form.
inline void tar_reseal(std::uint8_t *record)
{
    std::memset(record + 148, ' ', 8);
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i)
        sum += record[i];
    std::snprintf(reinterpret_cast<char *>(record + 148), 8, "%06o", sum);
    record[155] = ' ';
}
