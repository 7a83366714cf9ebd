// The zip layer reading an arbitrary file: open it, walk every entry by
// index (name, directory flag, whole content), then open entries by name.
#include "fuzz/fuzz_support.h"
#include "zip/zip_layer.h"

#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *path = fuzz_scratch().write(data, size);
    mzip::zip_handle_ptr zip(mzip::zip_open(path, -1, 'r'));
    if (!zip)
        return 0;
    const std::int64_t count = mzip::zip_entry_count(zip.get());
    FUZZ_CHECK(count >= 0);
    std::vector<std::string> names;
    std::vector<unsigned char> content;
    for (std::int64_t i = 0; i < count && i < 4096; ++i) {
        if (mzip::zip_entry_open_at(zip.get(), i) != 0) {
            FUZZ_CHECK(mzip::zip_entry_name(zip.get()) == nullptr);
            continue;
        }
        const char *name = mzip::zip_entry_name(zip.get());
        FUZZ_CHECK(name != nullptr);
        if (names.size() < 8)
            names.emplace_back(name);
        const int directory = mzip::zip_entry_is_directory(zip.get());
        FUZZ_CHECK(directory == 0 || directory == 1);
        std::size_t got = 12345;
        const std::int64_t read = mzip::zip_entry_read(zip.get(), &content, &got);
        if (read >= 0) {
            FUZZ_CHECK(directory == 0);
            FUZZ_CHECK(static_cast<std::size_t>(read) == content.size() && got == content.size());
        } else {
            FUZZ_CHECK(content.empty());
        }
        FUZZ_CHECK(mzip::zip_entry_close(zip.get()) == 0);
        FUZZ_CHECK(mzip::zip_entry_name(zip.get()) == nullptr);
    }
    FUZZ_CHECK(mzip::zip_entry_open_at(zip.get(), count) == -1);
    FUZZ_CHECK(mzip::zip_entry_open_at(zip.get(), -1) == -1);
    names.emplace_back("dali1.tar");
    names.emplace_back("no\\such\\entry");
    for (const std::string &name : names) {
        if (name.empty() || mzip::zip_entry_open(zip.get(), name.c_str()) != 0)
            continue;
        (void)mzip::zip_entry_read(zip.get(), &content, nullptr);
        mzip::zip_entry_close(zip.get());
    }
    // Writing into an archive opened for reading is refused.
    FUZZ_CHECK(mzip::zip_entry_write(zip.get(), "x", 1) == -1);
    return 0;
}
