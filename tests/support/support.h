// What the unit tests share: byte strings, scratch folders, files, the output
// of code run in-process, and shell commands (the independent tools: GNU tar,
// bsdtar, unzip, 7-Zip, Python).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using bytes = std::vector<std::uint8_t>;

inline bytes text_bytes(std::string_view text) { return bytes(text.begin(), text.end()); }

// `size` bytes, each unlike its neighbours; another seed gives other bytes.
inline bytes pattern(std::size_t size, unsigned seed = 1)
{
    bytes data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<std::uint8_t>((i * 31 + seed * 7 + i / 251) & 0xFF);
    return data;
}

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class temp_dir {
public:
    temp_dir()
    {
        std::string name = (std::filesystem::temp_directory_path() / "mervo-test-XXXXXX").string();
        if (!mkdtemp(name.data()))
            throw std::runtime_error("cannot create a temporary folder");
        path_ = name;
    }
    ~temp_dir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The whole file, or nothing when it cannot be read.
inline std::optional<bytes> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Creates or replaces the file; false on any error.
inline bool write_file(const std::string &path, std::string_view content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return out && out.write(content.data(), static_cast<std::streamsize>(content.size())) && out.flush();
}
inline bool write_file(const std::string &path, const bytes &content)
{
    return write_file(path, std::string_view(reinterpret_cast<const char *>(content.data()), content.size()));
}

// What `body` wrote on standard output, and on standard error, C stdio
// buffers flushed around it.
struct captured_output {
    std::string out;
    std::string err;
};
inline captured_output capture_output(const std::function<void()> &body)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    body();
    captured_output captured;
    captured.err = testing::internal::GetCapturedStderr();
    captured.out = testing::internal::GetCapturedStdout();
    return captured;
}
inline std::string capture_stdout(const std::function<void()> &body) { return capture_output(body).out; }

// A shell command's standard output and error (together) and exit status.
struct shell_result {
    int status = -1;
    std::string out;
};
inline shell_result shell(const std::string &command)
{
    shell_result result;
    std::FILE *pipe = popen(("(" + command + ") 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    char block[4096];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, pipe)) > 0;)
        result.out.append(block, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// `text` quoted for the shell.
inline std::string quoted(const std::string &text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
