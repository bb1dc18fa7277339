// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/data_directory.h"

#include <sys/stat.h>
#include <unistd.h>

namespace download {

namespace {

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string workingFolder() {
    std::string buffer(4096, '\0');
    if (::getcwd(buffer.data(), buffer.size()) == nullptr)
        return "./";
    buffer.resize(buffer.find('\0'));
    return buffer == "/" ? buffer : buffer + "/";
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

DataTarget resolveDataDirectory(const std::string& typed) {
    DataTarget target;
    target.typed = typed;
    target.prefix = typed;
    if (typed.empty() || typed.back() == '/') {
        target.folder = typed;
        return target;
    }
    if (isFolder(typed)) {
        target.prefix = typed + "/";
        target.folder = target.prefix;
        target.slashAdded = true;
        return target;
    }
    const auto slash = typed.rfind('/');
    target.folder = slash == std::string::npos ? std::string() : typed.substr(0, slash + 1);
    target.namePrefix = slash == std::string::npos ? typed : typed.substr(slash + 1);
    return target;
}

std::string shownFolder(const DataTarget& target) {
    return target.folder.empty() ? workingFolder() : target.folder;
}

std::string prefixNote(const DataTarget& target) {
    if (target.namePrefix.empty())
        return {};
    return "files will be named " + target.namePrefix + "NAME.txt in " + shownFolder(target);
}

std::string folderTakenLine(const DataTarget& target) {
    if (!target.slashAdded)
        return {};
    return "Data directory " + target.typed + " is a folder: the data files go into " +
           target.prefix;
}

std::string collectedText(const DataTarget& target, const std::vector<std::string>& files) {
    std::string text = "Data collected and placed in " + shownFolder(target);
    if (target.namePrefix.empty() || files.empty())
        return text;
    constexpr std::size_t kNamed = 4;
    text += " as ";
    for (std::size_t i = 0; i < files.size() && i < kNamed; ++i)
        text += (i ? ", " : "") + baseName(files[i]);
    if (files.size() > kNamed)
        text += ", ... (" + std::to_string(files.size()) + " files)";
    return text;
}

} // namespace download
