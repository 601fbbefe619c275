// Desktop entries and the other freedesktop key files (mimeapps.list): a
// reader that gives the groups and their keys, the escaping of string values,
// and the quoting and splitting of an Exec line. These files are not INI
// files: a group name is case-sensitive, ";" separates list items instead of
// starting a comment, only "#" starts one, and a value carries its own
// escapes (\s \n \t \r \\).
//
// Everything here is text in, text out: no file is opened.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

struct TKeyFileGroup {
    std::string Name;
    std::vector<std::pair<std::string, std::string>> Keys;  // as written, in file order, values unescaped
    // The value of key (exact, case-sensitive name); the first one wins.
    std::optional<std::string> Value(const std::string& key) const;
};

// The groups of a key file in file order. Lines before the first group,
// comments, blank lines and lines without "=" are skipped; keys with a locale
// ("Name[de]") are kept under their full name.
std::vector<TKeyFileGroup> ParseKeyFile(const std::string& text);
// The group named name, if the file has one.
const TKeyFileGroup* FindGroup(const std::vector<TKeyFileGroup>& groups, const std::string& name);

// The escapes of a string value: a leading or trailing space as \s, line breaks, tabs and
// carriage returns as \n \t \r, a backslash as \\.
std::string EscapeKeyValue(const std::string& value);
std::string UnescapeKeyValue(const std::string& value);
// The items of a ";"-separated list value (an escaped "\;" stays in its item);
// empty items are dropped.
std::vector<std::string> SplitKeyList(const std::string& value);

// One argument of an Exec line: enclosed in double quotes, with ", `, $ and a
// backslash escaped by a backslash, when it holds a space or a reserved character, or is
// empty; a "%" is doubled either way. The result still needs EscapeKeyValue
// before it is written to a file.
std::string QuoteExecArgument(const std::string& arg);

// What the field codes of an Exec line stand for.
struct TExecFields {
    std::string Url;          // %u %U %f %F
    std::string Icon;         // %i gives "--icon" and this, when not empty
    std::string Name;         // %c
    std::string DesktopFile;  // %k
};
// Splits an (already unescaped) Exec value into the program and its
// arguments by the quoting rules and expands the field codes: %u %U %f %F
// become the URL, %i %c %k as TExecFields says, %% a "%"; any other code is
// dropped. When the line has no URL code, the URL is added as the last
// argument, so the handler is always given it. Nothing when the line is
// empty, has an unterminated quote, or a code that stands for a list inside a
// longer argument.
std::optional<std::vector<std::string>> SplitExec(const std::string& exec, const TExecFields& fields);

}  // namespace platform
