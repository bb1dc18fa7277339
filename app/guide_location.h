// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where the operator's guide is, for Help > "Operator's Guide". The package installs it as
// <prefix>/share/doc/xrq/guide.html beside <prefix>/bin/xrq, and a build folder lays it out
// the same way (build/share/doc/xrq/ beside build/bin/), so one rule relative to the
// program's folder finds both, under any prefix. A guide that could not be rendered to HTML
// at build time is there as guide.md.

#include <QString>
#include <QStringList>

// The folder the Debian package puts the guide in, used when the program's own tree has none
// (a program file copied elsewhere).
inline constexpr const char* kInstalledGuideDir = "/usr/share/doc/xrq";

// The guide's file names, best first.
QStringList guideFileNames();

// The folders looked in, in order: <programDir>/../share/doc/xrq, <programDir> itself, then
// each of fallbackDirs. programDir may end with "/" or not; paths are clean (no "..").
QStringList guideFolders(const QString& programDir, const QStringList& fallbackDirs = {
                                                        QString::fromLatin1(kInstalledGuideDir)});

// The first regular, readable file of guideFileNames() in guideFolders(), folder by folder
// (the nearest folder wins over a better format further away, so that a build never opens
// an older installed guide); empty when there is none.
QString guideLocation(const QString& programDir,
                      const QStringList& fallbackDirs = {QString::fromLatin1(kInstalledGuideDir)});
