// A small file system of its own for tests of a full disk: a tmpfs of a few
// pages mounted on a fresh folder, unmounted and removed when the test ends.
// Mounting needs root (or a namespace that allows it); where it is refused,
// Mounted() is false and the test skips with Why().
#pragma once

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace testsupport {

class TSmallDisk {
public:
    // pages of 4 KiB each.
    explicit TSmallDisk(int pages) {
        char tmpl[] = "/tmp/sentrel-disk-XXXXXX";
        if (!::mkdtemp(tmpl)) return;
        path_ = tmpl;
        const std::string opts = "size=" + std::to_string(pages * 4) + "k,mode=0755";
        if (::mount("tmpfs", tmpl, "tmpfs", MS_NOSUID | MS_NODEV, opts.c_str()) == 0)
            mounted_ = true;
        else
            why_ = std::string("cannot mount a small tmpfs here: ") + std::strerror(errno);
    }
    ~TSmallDisk() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TSmallDisk(const TSmallDisk&) = delete;
    TSmallDisk& operator=(const TSmallDisk&) = delete;

    bool Mounted() const { return mounted_; }
    const std::string& Why() const { return why_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

    // Fills what is left with a file of that name; returns its size.
    std::size_t Fill(const std::string& name = "filler") const {
        std::ofstream out(File(name), std::ios::binary);
        const std::string page(4096, 'f');
        std::size_t n = 0;
        while (out.write(page.data(), static_cast<std::streamsize>(page.size())) && out.flush())
            n += page.size();
        return n;
    }
    // Fills what is left and then the last page of file with one line of
    // its own, so that not even a short line fits any more.
    void FillAfter(const std::string& file) const {
        Fill();
        const auto size = std::filesystem::file_size(file);
        const std::size_t room = 4096 - size % 4096;
        if (room == 4096 || room < 2) return;
        std::ofstream(file, std::ios::binary | std::ios::app) << std::string(room - 2, '#') << "\r\n";
    }
    void Free(const std::string& name = "filler") const { std::filesystem::remove(File(name)); }

private:
    std::filesystem::path path_;
    bool mounted_ = false;
    std::string why_;
};

}  // namespace testsupport
