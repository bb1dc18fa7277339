// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/unit_series.h"

#include "series/learnt_clock_sets.h"
#include "series/series_apply.h"
#include "series/series_export.h"

QString UnitSeries::Outcome::text() const {
    const QString set = QString::fromLatin1(name.data(), qsizetype(name.size()));
    const QString file = QString::fromLocal8Bit(path.c_str());
    if (ok)
        return QStringLiteral("Exported %1 %2 of %3 to %4")
                   .arg(records)
                   .arg(records == 1 ? QStringLiteral("record") : QStringLiteral("records"), set,
                        file) +
               (clockNote.empty()
                    ? QString()
                    : QStringLiteral("; ") + QString::fromLocal8Bit(clockNote.c_str()));
    return QStringLiteral("%1 was not exported: %2")
        .arg(set, QString::fromLocal8Bit(error.c_str()));
}

QString UnitSeries::describe(const series::SeriesInfo& info) {
    QString text = QString::fromLatin1(info.name.data(), qsizetype(info.name.size()));
    if (info.ordinal > 0)
        text += QStringLiteral(" (set %1)").arg(info.ordinal + 1);
    text += QStringLiteral(": %1 %2, %3 %4")
                .arg(info.records)
                .arg(info.records == 1 ? QStringLiteral("record") : QStringLiteral("records"))
                .arg(info.segments)
                .arg(info.segments == 1 ? QStringLiteral("segment") : QStringLiteral("segments"));
    if (info.provisional > 0)
        text += QStringLiteral(", %1 provisional").arg(info.provisional);
    return text;
}

UnitSeries::UnitSeries(QObject* parent) : QObject(parent) {}

UnitSeries::~UnitSeries() {
    {
        std::lock_guard guard(m_lock);
        m_stop = true;
        m_jobs.clear();
    }
    m_cancel = true;
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void UnitSeries::post(std::function<void()> job) {
    {
        std::lock_guard guard(m_lock);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
}

// Worker thread: the jobs in order until the object goes.
void UnitSeries::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock held(m_lock);
            m_wake.wait(held, [this] { return m_stop || !m_jobs.empty(); });
            if (m_stop)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}

void UnitSeries::list(const std::string& filesFolder, const std::string& serial) {
    post([this, filesFolder, serial] {
        // Worker thread.
        Listing listing;
        listing.serial = serial;
        const std::string path = series::storePath(filesFolder);
        if (::access(path.c_str(), F_OK) == 0) {
            series::SeriesStore store;
            if (auto opened = store.openToRead(path); !opened)
                listing.error = opened.text();
            else
                for (series::SeriesInfo& info : store.list())
                    if (info.serial == serial)
                        listing.series.push_back(std::move(info));
        }
        m_toUi.post([this, listing = std::move(listing)] { emit listed(listing); });
    });
}

void UnitSeries::exportTo(const std::string& filesFolder, const series::SeriesInfo& info,
                          const std::string& path, bool replace) {
    ++m_exports;
    m_cancel = false;
    post([this, filesFolder, info, path, replace] {
        // Worker thread.
        Outcome outcome = write(filesFolder, info, path, replace);
        m_toUi.post([this, outcome = std::move(outcome)] {
            --m_exports;
            emit exported(outcome);
        });
    });
}

// Worker thread.
UnitSeries::Outcome UnitSeries::write(const std::string& filesFolder,
                                      const series::SeriesInfo& info, const std::string& path,
                                      bool replace) {
    Outcome out;
    out.name = info.name;
    out.path = path;
    auto fail = [&](const std::string& why) {
        out.error = why;
        return out;
    };
    std::string why;
    // Another laptop's clock sets of the unit first, where the server answers in time.
    out.clockNote = series::learnClockSets(filesFolder, info.serial, std::chrono::seconds(10)).why;
    series::SeriesStore store;
    if (auto opened = store.openToRead(series::storePath(filesFolder)); !opened)
        return fail(opened.text());
    const auto now = store.find(info.serial, info.name, info.ordinal);
    if (!now)
        return fail("the series is no longer in the store");

    const series::FileExport written = series::exportToFile(
        series::storeSource(store, *now), {}, path, replace, [this] { return m_cancel.load(); });
    if (!written.ok)
        return fail(written.error);
    out.ok = true;
    out.records = written.rows;
    return out;
}
