// The event log writer: appends one line per monitoring event to a plain-text
// file, each with a one-character level marker, the date, the time of day,
// the program identifier and the message. The file is opened before each
// line and closed after it, so between lines other programs (the log viewer
// among them) may read or move it. A file the writer creates starts with a
// header line; a file that already exists, even an empty one, does not get
// one, and a new file whose header could not be written is removed again.
// A line is written whole or not at all: a write cut short (a full disk) is
// cut back off. Control characters in a message are written as \xHH, and a
// link that another user planted at the log's name is not written through.
//
// The owner (the main window) creates one writer per run and releases it
// when it closes. Single-threaded; nothing in here calls back into the
// caller, so the writer cannot be re-entered. A failing file operation raises
// base::EInOutError to the caller of the level operation, leaves the file
// closed and loses the entry; the writer never catches anything itself.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "base/Events.h"

namespace eventlog {

// s cut to its first w characters, or padded with blanks to w characters.
std::string FitField(std::string_view s, int w);

class tKvolog : public base::TObject {
public:
    // The owner is the component that releases the writer; it is not used
    // otherwise.
    explicit tKvolog(base::TObject* owner = nullptr) : Owner(owner) {}
    ~tKvolog() override;

    tKvolog(const tKvolog&) = delete;
    tKvolog& operator=(const tKvolog&) = delete;

    // Written in the header line.
    std::string ProgramName = "";
    // Written in every entry line (but not in clear mode) and in the header.
    std::string ProgramID = "";
    // The file's name; a relative one is resolved against the working
    // directory at each open, so a change takes effect at the next entry.
    std::string LogName = "";
    // Kept with the writer's settings; nothing reads it.
    bool DebugMode = false;
    // Entries are the bare message text, without marker, date, time or ID.
    bool ClearLogMode = false;
    // Set when a file operation completed with a non-zero code; never cleared.
    bool LogError() const { return logError_; }
    // The code of the last completed file operation.
    std::int32_t ErrorNumber() const { return errorNumber_; }
    // Whether the last completed file operation succeeded.
    bool Ok = true;

    // The local time, broken down. Read once for the time of day and once
    // more for the date, in that order. Tests put a fixed clock here.
    std::function<std::tm()> Now = LocalNow;
    static std::tm LocalNow();

    base::TObject* const Owner;

    void WriteStart(std::string_view text) { WriteEntry("-", text); }
    void WriteFinish(std::string_view text) { WriteEntry(".", text); }
    void WriteWarning(std::string_view text) { WriteEntry("?", text); }
    void WriteError(std::string_view text) { WriteEntry("!", text); }
    void WriteStatus(std::string_view text) { WriteEntry("@", text); }
    void WriteSuccess(std::string_view text) { WriteEntry(">", text); }
    void WriteInfo(std::string_view text) { WriteEntry(" ", text); }

protected:
    // One complete entry: open, write the line, close. Only the first
    // character of marker is used. An owner may wrap it (to word its
    // failures), so the level operations go through it virtually.
    virtual void WriteEntry(std::string_view marker, std::string_view text);
    // Opens LogName for appending, or creates it and writes the header line.
    void OpenLog();
    void CloseLog();
    // Takes the code of the last completed file operation into ErrorNumber,
    // Ok and LogError.
    void TakeIOResult();

private:
    std::string DateText(const std::tm& t) const;
    std::string TimeText(const std::tm& t) const;
    // Writes all of text to the open file, or raises.
    void WriteText(std::string_view text);
    // Appends all of text, or nothing: a write cut short is cut back off.
    // Returns 0 or the errno of the failure; the file stays open.
    int AppendWhole(std::string_view text);
    // A file operation failed with errno err: closes the file and raises
    // its I/O error. ErrorNumber, Ok and LogError keep their values.
    [[noreturn]] void Fail(int err);

    int fd_ = -1;
    int ioResult_ = 0;
    bool logError_ = false;
    std::int32_t errorNumber_ = 0;
};

}  // namespace eventlog
