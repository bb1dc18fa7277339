// SPDX-License-Identifier: GPL-3.0-or-later
// A data set's title line names its columns and is never a record, alike for every reader of
// a download (the series, the progress shown while it runs, the files' summary); the export
// as pandas and Python's csv read it, its metadata file, and cells that no spreadsheet runs.
#include "download/download_progress.h"
#include "series/download_records.h"
#include "series/download_text.h"
#include "series/series_apply.h"
#include "series/series_export.h"
#include "series/series_store.h"
#include "support/child_process.h"
#include "support/result_assert.h"
#include "support/sqlite_statements.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <set>

using namespace series;
using namespace std::chrono_literals;

namespace {

std::int64_t utcMs(int y, int mo, int d, int h, int mi = 0) {
    std::int64_t days = 0;
    viewer::civilDays(y, mo, d, days);
    return ((days * 86400) + h * 3600 + mi * 60) * 1000;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return bool(out);
}

struct TitleCase {
    const char* name;
    std::string text;
    std::vector<std::string> titles;  // per set
    std::vector<std::size_t> records; // per set
};

const TitleCase kTitleCases[] = {
    {"present",
     "F\r\nName: A\r\nDate     Time    , Batt V, Temp C\r\n26-05-11 08:00:00, 12.68, 14.9\r\n"
     "26-05-11 08:10:00, 12.67, 15.0\r\n>",
     {"Date     Time    , Batt V, Temp C"},
     {2}},
    {"absent",
     "F\r\nName: A\r\n26-05-11 08:00:00, 12.68\r\n26-05-11 08:10:00, 12.67\r\n>",
     {""},
     {2}},
    {"a first line with a number is a record",
     "F\r\nName: A\r\n--, 12.6\r\n26-05-11 08:10:00, 12.67\r\n>",
     {""},
     {2}},
    {"words in more fields than the records are a record",
     "F\r\nName: A\r\nDate Time, Batt V, Spare\r\n26-05-11 08:00:00, 12.68\r\n>",
     {""},
     {2}},
    {"only in some data sets",
     "F\r\nName: A\r\n26-05-11 08:00:00, 1\r\nName: B\r\nDate Time, Level m\r\n"
     "26-05-11 08:00:00, 2.5\r\n26-05-11 08:10:00, 2.5\r\n>",
     {"", "Date Time, Level m"},
     {1, 2}},
    {"a title line and no record",
     "F\r\nName: A\r\nDate Time, Batt V\r\nName: B\r\n>",
     {"Date Time, Batt V", ""},
     {0, 0}},
    {"a record after it without a time stamp: no title line",
     "F\r\nName: A\r\nDate Time, Batt V\r\nDate Time, Batt V\r\n26-05-11 08:00:00, 12.68\r\n>",
     {""},
     {3}},
    {"records without time stamps have no title line", "F\r\nName: A\r\nx\r\ny\r\n>", {""}, {2}},
    {"a title line among the sets' records names nothing",
     "F\r\nName: A\r\n26-05-11 08:00:00, 12.68\r\nDate Time, Batt V\r\n>",
     {""},
     {2}},
};

TEST(TitleLine, EveryReaderOfADownloadTakesItAlike) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const TitleCase& c : kTitleCases) {
        SCOPED_TRACE(c.name);
        const DownloadSets held = parseDownloadText(c.text);
        const std::string path = dir.filePath(QStringLiteral("kept.txt")).toStdString();
        ASSERT_TRUE(writeText(path, c.text));
        const auto streamed = readDownloadRecords(path);
        ASSERT_EQ(held.sets.size(), c.records.size());
        ASSERT_EQ(streamed->sets().size(), c.records.size());
        // While the download runs, in pieces of any size.
        download::DownloadProgressModel progress;
        for (std::size_t at = 0; at < c.text.size(); at += 3)
            progress.feed(std::string_view(c.text).substr(at, 3));
        ASSERT_EQ(progress.sets().size(), c.records.size());
        std::uint64_t all = 0;
        for (std::size_t s = 0; s < c.records.size(); ++s) {
            EXPECT_EQ(held.sets[s].titles, c.titles[s]);
            EXPECT_EQ(held.sets[s].records.size(), c.records[s]);
            EXPECT_EQ(streamed->sets()[s].titles, c.titles[s]);
            EXPECT_EQ(streamed->sets()[s].size(), c.records[s]);
            EXPECT_EQ(progress.sets()[s].records, c.records[s]);
            all += c.records[s];
            // Read again from the file, the records are the held ones.
            std::vector<std::string> again;
            std::string_view line;
            ASSERT_TRUE(streamed->seek(s, 0));
            while (streamed->next(line))
                again.emplace_back(line);
            EXPECT_EQ(again, held.sets[s].records);
        }
        EXPECT_EQ(progress.records(), all);
    }
}

TEST(TitleLine, TheFilesSummaryCountsRecordsOnly) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const struct {
        const char* text;
        std::uint64_t records;
    } cases[] = {
        {"Name: A\r\nDate Time, Batt V\r\n26-05-11 08:00:00, 12.6\r\n26-05-11 08:10:00, 12.5\r\n",
         2},
        {"Name: A\r\n26-05-11 08:00:00, 12.6\r\n26-05-11 08:10:00, 12.5\r\n", 2},
        {"Name: A\r\nDate Time, Batt V\r\n", 0},
        {"Name: A\r\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string path = dir.filePath(QStringLiteral("A.txt")).toStdString();
        ASSERT_TRUE(writeText(path, c.text));
        const auto files = download::summarizeFiles({path});
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0].records, c.records);
    }
}

// One unit's SITE1 over two visits, cleared between them and reprogrammed: a column renamed
// and one added.
class ExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path().toStdString() + "/";
        ASSERT_TRUE(done(store.open(storePath(folder))));
        facts.clockSets = {{utcMs(2026, 5, 1, 0), 3600, "26-05-01 01:00:00"}};
        take("k1.txt", utcMs(2026, 5, 11, 9),
             "F\r\nName: SITE1\r\nDate Time, Batt V, Level m\r\n"
             "26-05-11 08:00:00, 12.68, 1.25\r\n26-05-11 08:10:00, 12.67, 1.5\r\n>");
        facts.clearsMs = {utcMs(2026, 5, 11, 10)};
        take("k2.txt", utcMs(2026, 5, 12, 9),
             "F\r\nName: SITE1\r\nDate Time, Batt V, Depth m, Cond uS\r\n"
             "26-05-12 08:00:00, 12.5, 2.5, 400\r\n>");
    }
    void take(const std::string& name, std::int64_t at, const std::string& text) {
        const std::string kept = folder + name;
        ASSERT_TRUE(writeText(kept, text));
        const ApplyResult r = store.apply({"XRQ1", kept, at, true}, parseDownloadText(text), facts);
        ASSERT_TRUE(r.ok) << r.error;
    }

    QTemporaryDir dir;
    std::string folder;
    SeriesStore store;
    UnitFacts facts;
};

const char* const kHeader = "unit_time,utc,utc_offset_minutes,Batt V,Level m / Depth m,Cond uS,"
                            "flags,download,download_utc";

TEST_F(ExportTest, TitlesNameEachSegmentAndCountsAreTheRecords) {
    const auto info = store.find("XRQ1", "SITE1");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->records, 3u);
    EXPECT_EQ(info->segments, 2);
    EXPECT_EQ(info->columnTitles, "Date Time, Batt V, Depth m, Cond uS");
    const std::map<int, std::string> want = {{1, "Date Time, Batt V, Level m"},
                                             {2, "Date Time, Batt V, Depth m, Cond uS"}};
    EXPECT_EQ(store.segmentTitles(info->id), want);
    std::string csv;
    EXPECT_EQ(exportCsv(store, *info, {},
                        [&](std::string_view p) {
                            csv.append(p);
                            return true;
                        }),
              3);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")), kHeader);
    // The older layout, one option away, with its comments; no title line among its rows.
    std::string classic;
    exportCsv(
        store, *info, {},
        [&](std::string_view p) {
            classic.append(p);
            return true;
        },
        ExportLayout::Classic);
    EXPECT_NE(classic.find("# records: 3 in 2 segments"), std::string::npos) << classic;
    EXPECT_EQ(classic.find("Batt V"), std::string::npos) << classic;
}

// Python's csv and pandas, as their users call them: what each cell became.
const char* const kReadBack = R"(
import csv, json, sys
import pandas as pd
path = sys.argv[1]
with open(path, newline='', encoding='utf-8') as f:
    rows = list(csv.reader(f))
df = pd.read_csv(path, parse_dates=['unit_time', 'utc', 'download_utc'])
def cell(v):
    if pd.isna(v):
        return None
    if hasattr(v, 'isoformat'):
        return v.isoformat()
    return v.item() if hasattr(v, 'item') else v
print(json.dumps({
    'rows': rows,
    'dtypes': {c: str(t) for c, t in df.dtypes.items()},
    'values': {c: [cell(v) for v in df[c]] for c in df.columns},
}))
)";

QJsonObject readBack(const std::string& csvPath, const std::string& outPath) {
    testsupport::ChildProcess python("/usr/bin/python3", {"-c", kReadBack, csvPath}, outPath);
    EXPECT_TRUE(python.waitForExit(120s));
    EXPECT_EQ(python.exitCode(), 0) << python.errorOutput();
    return QJsonDocument::fromJson(QByteArray::fromStdString(fileText(outPath))).object();
}

QStringList strings(const QJsonValue& v) {
    QStringList out;
    for (const QJsonValue& e : v.toArray())
        out << (e.isNull()     ? QStringLiteral("<null>")
                : e.isString() ? e.toString()
                               : QString::number(e.toDouble()));
    return out;
}

TEST_F(ExportTest, PandasAndPythonsCsvReadEveryValueAsMeant) {
    const auto info = store.find("XRQ1", "SITE1");
    ASSERT_TRUE(info);
    const std::string path = folder + "SITE1.csv";
    const FileExport written = exportToFile(storeSource(store, *info), {}, path, false);
    ASSERT_TRUE(written.ok) << written.error;
    EXPECT_EQ(written.metadata, path + "-metadata.json");
    const QJsonObject got = readBack(path, folder + "read.json");
    ASSERT_FALSE(got.isEmpty());

    const QJsonArray rows = got.value(QLatin1String("rows")).toArray();
    ASSERT_EQ(rows.size(), 4); // the title row and the three records
    EXPECT_EQ(strings(rows[0]).join(QLatin1Char(',')), QLatin1String(kHeader));
    for (const QJsonValue& row : rows)
        EXPECT_EQ(row.toArray().size(), 9);

    const QJsonObject types = got.value(QLatin1String("dtypes")).toObject();
    const std::map<QString, QString> wantTypes = {{"unit_time", "datetime64[ns]"},
                                                  {"utc", "datetime64[ns, UTC]"},
                                                  {"utc_offset_minutes", "int64"},
                                                  {"Batt V", "float64"},
                                                  {"Level m / Depth m", "float64"},
                                                  {"Cond uS", "float64"},
                                                  {"flags", "object"},
                                                  {"download", "object"},
                                                  {"download_utc", "datetime64[ns, UTC]"}};
    for (const auto& [column, type] : wantTypes)
        EXPECT_EQ(types.value(column).toString(), type) << column.toStdString();

    const QJsonObject v = got.value(QLatin1String("values")).toObject();
    const struct {
        const char* column;
        QStringList want;
    } values[] = {
        {"unit_time", {"2026-05-11T08:00:00", "2026-05-11T08:10:00", "2026-05-12T08:00:00"}},
        {"utc",
         {"2026-05-11T07:00:00+00:00", "2026-05-11T07:10:00+00:00", "2026-05-12T07:00:00+00:00"}},
        {"utc_offset_minutes", {"60", "60", "60"}},
        {"Batt V", {"12.68", "12.67", "12.5"}},
        {"Level m / Depth m", {"1.25", "1.5", "2.5"}},
        {"Cond uS", {"<null>", "<null>", "400"}},
        {"flags", {"segment start", "<null>", "segment start"}},
        {"download", {"k1.txt", "k1.txt", "k2.txt"}},
        {"download_utc",
         {"2026-05-11T09:00:00+00:00", "2026-05-11T09:00:00+00:00", "2026-05-12T09:00:00+00:00"}},
    };
    for (const auto& c : values)
        EXPECT_EQ(strings(v.value(QLatin1String(c.column))), c.want) << c.column;
}

TEST_F(ExportTest, TheMetadataFileNamesTheColumnsTheCsvHas) {
    const auto info = store.find("XRQ1", "SITE1");
    ASSERT_TRUE(info);
    const std::string path = folder + "SITE1.csv";
    ASSERT_TRUE(exportToFile(storeSource(store, *info), {}, path, false).ok);
    QJsonParseError error;
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray::fromStdString(fileText(metadataPathOf(path))), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    const QJsonObject meta = doc.object();
    EXPECT_EQ(meta.value(QLatin1String("@context")).toString(), "http://www.w3.org/ns/csvw");
    EXPECT_EQ(meta.value(QLatin1String("url")).toString(), "SITE1.csv");
    const QJsonArray columns = meta.value(QLatin1String("tableSchema"))
                                   .toObject()
                                   .value(QLatin1String("columns"))
                                   .toArray();
    const QString csv = QString::fromStdString(fileText(path));
    const QStringList header = csv.left(csv.indexOf(QLatin1String("\r\n"))).split(QLatin1Char(','));
    ASSERT_EQ(columns.size(), header.size());
    const QRegularExpression plainName(QStringLiteral("^[A-Za-z][A-Za-z0-9_]*$"));
    const std::set<QString> types = {"dateTime", "dateTimeStamp", "integer", "number", "string"};
    std::set<QString> names;
    for (qsizetype i = 0; i < columns.size(); ++i) {
        const QJsonObject c = columns[i].toObject();
        const QString name = c.value(QLatin1String("name")).toString();
        EXPECT_EQ(c.value(QLatin1String("titles")).toString(), header[i]);
        EXPECT_TRUE(plainName.match(name).hasMatch()) << name.toStdString();
        EXPECT_TRUE(names.insert(name).second) << name.toStdString();
        EXPECT_TRUE(types.count(c.value(QLatin1String("datatype")).toString()));
        EXPECT_FALSE(c.value(QLatin1String("dc:description")).toString().isEmpty());
    }
    EXPECT_EQ(columns[3].toObject().value(QLatin1String("datatype")).toString(), "number");
    EXPECT_EQ(columns[0].toObject().value(QLatin1String("datatype")).toString(), "dateTime");
    EXPECT_EQ(columns[1].toObject().value(QLatin1String("datatype")).toString(), "dateTimeStamp");
    // Provenance: the downloads by file name and when, never a laptop's path.
    const QStringList source = strings(meta.value(QLatin1String("dc:source")));
    EXPECT_EQ(source,
              QStringList({"k1.txt (2026-05-11T09:00:00Z)", "k2.txt (2026-05-12T09:00:00Z)"}));
    const QStringList said = strings(meta.value(QLatin1String("rdfs:comment")));
    EXPECT_TRUE(said.contains(QLatin1String("unit: XRQ1")));
    EXPECT_TRUE(said.contains(QLatin1String("flag segment start: 2 records")));
    EXPECT_FALSE(meta.value(QLatin1String("dc:title")).toString().isEmpty());
    // A second export to the same name replaces neither file.
    const FileExport again = exportToFile(storeSource(store, *info), {}, path, false);
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(fileText(path), csv.toStdString());
}

TEST(ExportCell, NothingASpreadsheetRunsAndNoLineEndBreaksARow) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"=HYPERLINK(\"http://x.example\",\"y\")",
         "\"'=HYPERLINK(\"\"http://x.example\"\",\"\"y\"\")\""},
        {"+cmd|' /C calc'!A0", "'+cmd|' /C calc'!A0"},
        {"-x", "'-x"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"\rx", "' x"},
        {"-", "'-"},
        {"-3.5", "-3.5"},
        {"+4", "4"},
        {"1e3", "1e3"},
        {"12.68", "12.68"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\r\nlines", "two  lines"},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string out;
        appendCell(out, c.in);
        EXPECT_EQ(out, c.out) << c.in;
    }
}

// A source as a hostile laptop's payload could make it: formulas in a record, a record with a
// CR inside, a note with line ends, a path with a home folder.
TEST(ExportCell, HostileRecordsAndNotesStayInTheirCells) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string download = "/home/someone/kept/k1.txt";
    const std::vector<std::string> lines = {
        "26-05-11 08:00:00, =HYPERLINK(\"http://x.example\"), -3.5",
        "26-05-11 08:10:00, text\rwith a CR, 7",
    };
    RecordSource source;
    source.info.serial = "XRQ1";
    source.info.name = "SITE1";
    source.info.records = lines.size();
    source.info.segments = 1;
    source.info.columnTitles = "Date Time, @Note, Level m";
    source.notes = {{1, 1, "a note\r\n# injected,\r\nrow", download}};
    source.forEachRecord = [&](const std::function<bool(const RecordRef&)>& each) {
        RecordRef r;
        r.segment = 1;
        r.download = &download;
        r.downloadAtMs = utcMs(2026, 5, 11, 9);
        for (const std::string& l : lines) {
            r.line = l;
            if (!each(r))
                return false;
            ++r.index;
        }
        return true;
    };
    for (const ExportLayout layout : {ExportLayout::Plain, ExportLayout::Classic}) {
        const bool classic = layout == ExportLayout::Classic;
        SCOPED_TRACE(classic ? "classic" : "plain");
        const std::string path =
            dir.filePath(classic ? QStringLiteral("c.csv") : QStringLiteral("p.csv")).toStdString();
        const FileExport written = exportToFile(source, {}, path, false, {}, layout);
        ASSERT_TRUE(written.ok) << written.error;
        const std::string text = fileText(path);
        EXPECT_EQ(text.find("/home/"), classic ? text.find(download) : std::string::npos);
        // Every line is a comment, the title row or a record's row.
        std::size_t comments = 0, other = 0;
        for (std::size_t at = 0; at < text.size();) {
            const auto end = text.find("\r\n", at);
            ASSERT_NE(end, std::string::npos);
            (text.compare(at, 2, "# ") == 0 ? comments : other)++;
            EXPECT_EQ(text.substr(at, end - at).find_first_of("\r\n"), std::string::npos);
            at = end + 2;
        }
        EXPECT_EQ(other, 1 + lines.size());
        EXPECT_EQ(comments > 0, classic);
        if (classic)
            continue; // its comment lines are not for pandas without comment='#'
        const QJsonArray rows = readBack(path, dir.filePath(QStringLiteral("r.json")).toStdString())
                                    .value(QLatin1String("rows"))
                                    .toArray();
        ASSERT_EQ(rows.size(), 3);
        EXPECT_EQ(rows[0].toArray()[3].toString(), "'@Note");
        EXPECT_EQ(rows[1].toArray()[3].toString(), "'=HYPERLINK(\"http://x.example\")");
        EXPECT_EQ(rows[1].toArray()[4].toString(), "-3.5");
        EXPECT_EQ(rows[2].toArray()[3].toString(), "text with a CR");
        const std::string metadata = fileText(written.metadata);
        EXPECT_NE(metadata.find("a note  # injected,  row (download k1.txt)"), std::string::npos)
            << metadata;
    }
}

} // namespace
