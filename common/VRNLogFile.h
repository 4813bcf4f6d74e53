#pragma once

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// A log file rotated by size: "<category>.log" in a folder, with the generations
// "<category>.0.log" (newest) to "<category>.4.log" (oldest) beside it. Any thread may
// write; the length check, the rotation and the write of one line happen under one lock,
// so lines never interleave and a crossing rotates once.
//
// The folder is opened once, without following a link, and must be owned by the writing
// user; the file is opened, and rotated, only relative to that folder descriptor. A link
// put in place of the folder or of a file later is never written through: the writer
// keeps to the folder it opened.
class VRNLogFile {
public:
    static constexpr std::uint64_t kRotationLength = 10'000'000;
    static constexpr int kGenerations = 5;

    VRNLogFile(std::string directory, std::string category,
               std::uint64_t rotationLength = kRotationLength);
    ~VRNLogFile();
    VRNLogFile(const VRNLogFile&) = delete;
    VRNLogFile& operator=(const VRNLogFile&) = delete;

    // Errors told for a log folder that is not the writer's own.
    static constexpr int kFolderNotOwned = EPERM;

    // Creates the folder (with its parents) and opens the current file for appending. A
    // failure ("Failed to open log file (errno).") is told to the system log once and
    // leaves file logging off for good: a symbolic link at the folder's or the file's path
    // (ELOOP), a folder owned by another user (kFolderNotOwned).
    void open();

    // Appends one line with a single write, rotating first when the file has reached the
    // rotation length. Without an open file the line is dropped. A current file that
    // cannot be opened again after a rotation is told as an open failure, and file logging
    // is off from then on.
    void write(std::string_view line);

    // Closes the file and the folder; later lines are dropped.
    void close();

    bool isOpen() const;
    std::uint64_t length() const;

    std::string currentPath() const;
    std::string generationPath(int generation) const;

private:
    std::string currentName() const;
    std::string generationName(int generation) const;
    bool openFolder();
    int openCurrent() const;
    void closeDescriptors();
    void rotate();

    const std::string directory_;
    const std::string category_;
    const std::uint64_t rotationLength_;

    mutable std::mutex lock_;
    int folderFd_ = -1;
    int fd_ = -1;
    std::uint64_t length_ = 0;
};
