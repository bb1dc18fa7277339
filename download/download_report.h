// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a download tells while it runs and when it ends, handed to it by whoever shows it: the
// main window puts it on its status panel and in its boxes (main/status_report.h),
// xrq-collect on its terminal (collect/collector.cpp). download/ says what and when; it shows
// nothing itself. The texts, and the order in which they come, are the download's; the run log
// has its lines from download/ as before, and each box writes its own (dialogs/Dialogs.h).
// UI thread only.

#include <QString>

#include <string>

namespace download {

class DownloadReport {
public:
    virtual ~DownloadReport() = default;

    // A download begins: the last one's outcome and its files' summary go.
    virtual void begin() = 0;
    // The progress lines of a running download (the data set arriving, sets and records so
    // far, bytes, rate, times); empty: none any more.
    virtual void progress(const QString& text) = 0;
    // A passing word while the program waits ("still sending the stopped download...").
    virtual void note(const QString& text) = 0;
    // How the operation ended ("Data collected and placed in ...", "Download interrupted
    // ...", the failure with where the download's bytes are): the verdict as one line.
    virtual void outcome(const QString& text) = 0;
    // The download's boxes, in the order it raises them: the Part's own texts, 8-bit.
    virtual void error(const std::string& text) = 0;
    virtual void warning(const std::string& text) = 0;
    virtual void info(const std::string& text) = 0;
    // A question that must be answered before the work goes on (a conversion left by an
    // ended program: convert it now?); true for Yes.
    virtual bool confirm(const std::string& text, bool defaultYes) = 0;
};

// Shows nothing: for a run whose owner shows nothing (a benchmark, a test of the steps).
class SilentReport : public DownloadReport {
public:
    void begin() override {}
    void progress(const QString&) override {}
    void note(const QString&) override {}
    void outcome(const QString&) override {}
    void error(const std::string&) override {}
    void warning(const std::string&) override {}
    void info(const std::string&) override {}
    bool confirm(const std::string&, bool defaultYes) override { return defaultYes; }
};

// An outcome held as 8-bit text (paths as the file system has them) for `report` (may be null).
void tellOutcome(DownloadReport* report, const std::string& text);

} // namespace download
