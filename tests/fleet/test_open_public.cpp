// SPDX-License-Identifier: GPL-3.0-or-later
// A laptop role can only add facts, also on a database whose schema public is open to all (as
// PostgreSQL 14 and older leave it): a function one laptop puts there changes nothing another
// laptop pushes; init-server closes public and does not finish while a laptop role could still
// create; check-server lists every right beyond adding and reading; the server holds a kept
// download's bytes to 64 MiB itself.
#include "fleet_fixture.h"

#include "fleet/admin.h"

#include <sstream>

namespace fleettest {
namespace {

using FleetOpenPublic = FleetServerTest;

std::vector<std::string> rightsBeyond(const std::string& service, int* exit = nullptr) {
    std::ostringstream out, err;
    const int code =
        fleet::runAdmin({"check-server", "--service", QString::fromStdString(service)}, out, err);
    if (exit)
        *exit = code;
    EXPECT_TRUE(err.str().empty()) << err.str();
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(FleetOpenPublic, AnotherLaptopsFunctionsInPublicChangeNothingPushedAndCheckServerNamesThem) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    ASSERT_TRUE(server.sql("GRANT CREATE ON SCHEMA public TO PUBLIC"));
    // Laptop b's credentials, taken: functions that fit the pusher's arguments better than the
    // system's (bigint / numeric, to_timestamp of numeric), one moving every time to 2000, one
    // raising 22023.
    {
        fleet::PgConnection b;
        ASSERT_TRUE(b.connect(fleet::serviceConninfo("laptop_b"), 30s)) << b.error();
        const fleet::PgResult made = b.exec(
            "CREATE FUNCTION public.to_timestamp(numeric) RETURNS timestamptz LANGUAGE sql AS "
            "$$ SELECT '2000-01-01'::timestamptz $$; "
            "CREATE FUNCTION public.div(bigint, numeric) RETURNS numeric LANGUAGE plpgsql AS "
            "$$ BEGIN RAISE EXCEPTION 'refused' USING ERRCODE = '22023'; END $$; "
            "CREATE OPERATOR public./ (LEFTARG = bigint, RIGHTARG = numeric, "
            "FUNCTION = public.div);");
        ASSERT_TRUE(made.ok()) << made.error();
    }
    // Where a session looks in public, as every session did before, both take.
    ASSERT_EQ(server.value("SET search_path = \"$user\", public; "
                           "SELECT to_timestamp(1765188000::numeric)::date::text"),
              "2000-01-01");
    std::string why;
    EXPECT_FALSE(server.sql("SET search_path = \"$user\", public; SELECT 1765188000000::bigint / "
                            "1000.0",
                            "xrq", &why));
    EXPECT_NE(why.find("refused"), std::string::npos) << why;

    LocalStore a(file("units.sqlite"));
    ASSERT_TRUE(a.record(visit("XRQ04510", "laptop-a", 1765188000000)));
    ASSERT_TRUE(a.record(records("XRQ04510", "SET1", 20, "laptop-a")));
    ASSERT_TRUE(pushAll("laptop_a", {a.path()}));
    EXPECT_EQ(a.waiting(), 0);
    EXPECT_EQ(a.conflicts(), 0);
    EXPECT_EQ(server.value("SELECT (extract(epoch FROM occurred_at) * 1000)::bigint FROM "
                           "xrq.events"),
              "1765188000000");
    EXPECT_EQ(server.value("SELECT count(*) FROM xrq.series_records WHERE occurred_at < "
                           "'2020-01-01'"),
              "0");
    EXPECT_EQ(count("xrq.series_records"), 20);

    int exit = -1;
    const std::vector<std::string> open = rightsBeyond(ownerService(), &exit);
    EXPECT_EQ(exit, 1);
    EXPECT_TRUE(has(open, "public may create in schema public"));
    EXPECT_TRUE(has(open, "laptop_b owns function public.to_timestamp(numeric)"));
    EXPECT_TRUE(has(open, "laptop_b owns function public.div(bigint,numeric)"));
    EXPECT_FALSE(has(open, "laptop_a may create in schema public")) << "PUBLIC's, said once";
    for (const std::string& line : open)
        EXPECT_EQ(line.find("xrq_owner"), std::string::npos) << line;
}

TEST_F(FleetOpenPublic, InitServerClosesPublicAndDoesNotFinishWhileALaptopCouldCreate) {
    addLaptop("laptop_a");
    ASSERT_TRUE(server.sql("GRANT CREATE ON SCHEMA public TO PUBLIC"));
    // A right of its own on public and on a table: the REVOKE from PUBLIC leaves them.
    ASSERT_TRUE(server.sql("GRANT CREATE ON SCHEMA public TO laptop_a; "
                           "GRANT UPDATE ON xrq.events TO laptop_a"));
    const fleet::InitOutcome refused = fleet::initServer(fleet::serviceConninfo(ownerService()));
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.message.indexOf("laptop_a on schema public"), -1)
        << refused.message.toStdString();
    EXPECT_EQ(refused.message.indexOf("public on schema public"), -1)
        << "PUBLIC's right went with the REVOKE: " << refused.message.toStdString();
    std::vector<std::string> lines = rightsBeyond(ownerService());
    EXPECT_TRUE(has(lines, "laptop_a may UPDATE xrq.events"));
    EXPECT_TRUE(has(lines, "public may create in schema public")) << "rolled back, not half-done";
    // Its own right shows once PUBLIC's is gone.
    ASSERT_TRUE(server.sql("REVOKE CREATE ON SCHEMA public FROM PUBLIC"));
    EXPECT_TRUE(has(rightsBeyond(ownerService()), "laptop_a may create in schema public"));

    ASSERT_TRUE(server.sql("REVOKE CREATE ON SCHEMA public FROM laptop_a; "
                           "REVOKE UPDATE ON xrq.events FROM laptop_a"));
    const fleet::InitOutcome done = fleet::initServer(fleet::serviceConninfo(ownerService()));
    EXPECT_TRUE(done.ok) << done.message.toStdString();
    int exit = -1;
    lines = rightsBeyond(ownerService(), &exit);
    EXPECT_EQ(exit, 0);
    EXPECT_EQ(lines, std::vector<std::string>{"laptop roles may only add and read facts"});
    EXPECT_EQ(server.value("SELECT has_schema_privilege('public', 'public', 'CREATE')::text"),
              "false");
}

TEST_F(FleetOpenPublic, TheServerHoldsAKeptDownloadsBytesTo64MiB) {
    addLaptop("laptop_a");
    fleet::PgConnection a;
    ASSERT_TRUE(a.connect(fleet::serviceConninfo("laptop_a"), 30s)) << a.error();
    // Bytes that are what their hash and size say, one byte over.
    const fleet::PgResult over = a.exec(
        "INSERT INTO xrq.download_bytes (sha256, size, bytes) SELECT encode(sha256(b), 'hex'), "
        "length(b), b FROM (SELECT convert_to(repeat('x', 67108865), 'UTF8') AS b) s",
        {}, 120s);
    EXPECT_FALSE(over.ok());
    EXPECT_EQ(over.sqlState(), "23514") << over.error();
    EXPECT_NE(over.error().find("download_bytes_at_most_64_mib"), std::string::npos)
        << over.error();
    // The owner cannot ask laptops for more either.
    std::string why;
    EXPECT_FALSE(
        server.sql("UPDATE xrq.server_settings SET max_download_bytes = 67108865", "xrq", &why));
    EXPECT_NE(why.find("max_download_bytes_at_most_64_mib"), std::string::npos) << why;
    std::ostringstream out, err;
    EXPECT_EQ(fleet::runAdmin({"init-server", "--service", QString::fromStdString(ownerService()),
                               "--max-download-bytes", "67108865"},
                              out, err),
              2);
}

} // namespace
} // namespace fleettest
