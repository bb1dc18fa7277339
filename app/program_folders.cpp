// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/program_folders.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>

#include <filesystem>
#include <system_error>

namespace {

std::string pathBytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// Creates the folder with its parents; a failure is left for the users of the folder to meet.
void createFolder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
}

} // namespace

std::string withTrailingSlash(std::string dir) {
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

ProgramLocations ProgramLocations::fromSystem() {
    ProgramLocations where;
    where.programDir = pathBytes(QCoreApplication::applicationDirPath());
    where.appData =
        pathBytes(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    where.desktop = pathBytes(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
    where.documents =
        pathBytes(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    return where;
}

ProgramFolders resolveProgramFolders(const ProgramLocations& where) {
    ProgramFolders folders;
    folders.programPath = withTrailingSlash(where.programDir);

    folders.tempFilesPath = folders.programPath;
    if (!where.appData.empty()) {
        folders.tempFilesPath = withTrailingSlash(where.appData) + "Quorvant/XRQ/";
        createFolder(folders.tempFilesPath);
    }

    if (!where.desktop.empty()) {
        folders.defaultDataDirectory = withTrailingSlash(where.desktop) + "XRQ Data/";
        createFolder(folders.defaultDataDirectory);
    } else if (!where.documents.empty()) {
        folders.defaultDataDirectory = withTrailingSlash(where.documents) + "Quorvant/XRQ/";
        createFolder(folders.defaultDataDirectory);
    } else {
        folders.defaultDataDirectory = folders.programPath;
    }
    return folders;
}
