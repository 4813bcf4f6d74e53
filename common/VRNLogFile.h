#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// A log file rotated by size: "<category>.log" in a folder, with the generations
// "<category>.0.log" (newest) to "<category>.4.log" (oldest) beside it. Any thread may
// write; the length check, the rotation and the write of one line happen under one lock,
// so lines never interleave and a crossing rotates once.
class VRNLogFile {
public:
    static constexpr std::uint64_t kRotationLength = 10'000'000;
    static constexpr int kGenerations = 5;

    VRNLogFile(std::string directory, std::string category,
               std::uint64_t rotationLength = kRotationLength);
    ~VRNLogFile();
    VRNLogFile(const VRNLogFile&) = delete;
    VRNLogFile& operator=(const VRNLogFile&) = delete;

    // Creates the folder (with its parents) and opens the current file for appending. A
    // failure is told to the system log and leaves file logging off for good. A symbolic
    // link at the file's path is refused, never followed.
    void open();

    // Appends one line with a single write, rotating first when the file has reached the
    // rotation length. Without an open file the line is dropped.
    void write(std::string_view line);

    bool isOpen() const;
    std::uint64_t length() const;

    std::string currentPath() const;
    std::string generationPath(int generation) const;

private:
    int openCurrent() const;
    void rotate();

    const std::string directory_;
    const std::string category_;
    const std::uint64_t rotationLength_;

    mutable std::mutex lock_;
    int fd_ = -1;
    std::uint64_t length_ = 0;
};
