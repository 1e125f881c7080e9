// SPDX-License-Identifier: BSD-2-Clause
/*
 * The server's parts, fed by hand: the zombies of a scrape and the
 * records between scrapes, as metrics in both formats, and the HTTP it
 * takes from any bytes.
 */

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/fleet.h"
#include "core/http.h"
#include "log_events.h"
#include "report/exposition.h"
#include "story.h"

namespace {

ScanParent
held_by(pid_t pid, const char *comm, std::vector<ScanZombie> zombies)
{
	ScanParent p;
	p.proc = {pid, comm};
	p.zombies = std::move(zombies);
	return p;
}

ScanZombie
dead(pid_t pid, Nanos age)
{
	return ScanZombie{{pid, "child"}, age};
}

/* The one sample of a family with these labels, as the text has it. */
std::string
sample_of(const std::string &text, const std::string &name)
{
	size_t at = text.find("\n" + name + " ");
	if (at == std::string::npos)
		return "(none)";
	at += name.size() + 2;
	return text.substr(at, text.find('\n', at) - at);
}

} // namespace

/*
 * A parent's zombies are aged from their recorded ends, else from the
 * first scrape that found them; a number used again starts afresh.
 */
TEST(Fleet, ZombiesAreAgedFromTheirEndOrFromWhenFirstSeen)
{
	Fleet f(true);
	f.ended(200, 7 * sec);
	/* 200 started at 5 s, 201 at 1 s: /proc gives each one's age. */
	auto at = [](Nanos now) {
		Scan scan;
		scan.parents = {held_by(42, "sh",
		    {dead(200, now - 5 * sec), dead(201, now - sec)})};
		return scan;
	};
	Metrics m = f.scrape(at(10 * sec), {"/user.slice"}, 10 * sec);
	ASSERT_EQ(m.parents.size(), 1U);
	EXPECT_EQ(m.parents[0].zombies, 2U);
	EXPECT_EQ(m.parents[0].cgroup, "/user.slice");
	/* 200 ended at 7 s; 201 is first seen now. */
	EXPECT_EQ(m.parents[0].oldest, 3 * sec);
	m = f.scrape(at(15 * sec), {"/user.slice"}, 15 * sec);
	EXPECT_EQ(m.parents[0].oldest, 8 * sec);
	/* Five seconds after 200 went, 201 has been one at least 10 s. */
	Scan one;
	one.parents = {held_by(42, "sh", {dead(201, 19 * sec)})};
	m = f.scrape(one, {"/user.slice"}, 20 * sec);
	EXPECT_EQ(m.parents[0].oldest, 10 * sec);
	/* Another process under the same number, started since. */
	one.parents = {held_by(42, "sh", {dead(201, sec)})};
	m = f.scrape(one, {"/user.slice"}, 21 * sec);
	EXPECT_EQ(m.parents[0].oldest, 0);
	/* None now: no series, and no parent kept. */
	EXPECT_TRUE(f.scrape(Scan{}, {}, 22 * sec).parents.empty());
}

/* Timed by the held pidfd, or bounded by when it was found gone. */
TEST(Fleet, CollectionsAreTimedAndBoundsCounted)
{
	Fleet f(true);
	f.ended(100, sec);
	f.collected(100, sec + 300 * ms, true);
	f.ended(101, 2 * sec);
	f.collected(101, 2 * sec + ms / 2, false);
	f.ended(102, 3 * sec);
	f.collected(102, 3 * sec + 90 * sec, true);
	/* Its end was never recorded: nothing to time it by. */
	f.collected(999, 4 * sec, true);
	f.ended(103, 5 * sec);
	f.lost(7);
	Metrics m = f.scrape(Scan{}, {}, 6 * sec);
	EXPECT_EQ(m.exits, 4U);
	EXPECT_EQ(m.collections, 3U);
	EXPECT_EQ(m.bounded, 1U);
	EXPECT_EQ(m.lost, 7U);
	EXPECT_EQ(m.durations.count, 3U);
	EXPECT_NEAR(m.durations.sum, 90.3005, 1e-9);
	EXPECT_EQ(m.durations.counts[0], 1U);  /* <= 1 ms */
	EXPECT_EQ(m.durations.counts[8], 1U);  /* <= 0.5 s */
	EXPECT_EQ(m.durations.counts[15], 1U); /* past 60 s */

	std::string text = exposition(m, Format::Text);
	EXPECT_EQ(
	    sample_of(text, "zombie_duration_seconds_bucket{le=\"0.001\"}"),
	    "1");
	EXPECT_EQ(
	    sample_of(text, "zombie_duration_seconds_bucket{le=\"0.25\"}"),
	    "1");
	EXPECT_EQ(
	    sample_of(text, "zombie_duration_seconds_bucket{le=\"0.5\"}"), "2");
	EXPECT_EQ(
	    sample_of(text, "zombie_duration_seconds_bucket{le=\"60\"}"), "2");
	EXPECT_EQ(
	    sample_of(text, "zombie_duration_seconds_bucket{le=\"+Inf\"}"),
	    "3");
	EXPECT_EQ(sample_of(text, "zombie_duration_seconds_count"), "3");
	EXPECT_EQ(sample_of(text, "zombie_exits_total"), "4");
	EXPECT_EQ(sample_of(text, "zombie_collection_bounds_total"), "1");
	EXPECT_EQ(sample_of(text, "zombie_records_lost_total"), "7");
}

/* The most parents first; the rest summed into one series. */
TEST(Fleet, ParentsPastTheCapShareOneSeries)
{
	Fleet f(false);
	Scan scan;
	for (pid_t p = 1000; p < 1000 + (pid_t)MOST_PARENTS + 5; p++)
		scan.parents.push_back(
		    held_by(p, "p", {dead(p + 100000, sec)}));
	scan.parents.back().zombies.push_back(dead(5, sec));
	std::vector<std::string> cgroups(MOST_PARENTS, "/");
	Metrics m = f.scrape(scan, cgroups, 10 * sec);
	ASSERT_EQ(m.parents.size(), MOST_PARENTS + 1);
	EXPECT_FALSE(m.parents.back().parent);
	EXPECT_EQ(m.parents.back().zombies, 6U);

	std::string text = exposition(m, Format::Text);
	EXPECT_EQ(sample_of(text, "zombie_processes{parent_pid=\"other\","
				  "parent_comm=\"other\",cgroup=\"other\"}"),
	    "6");
	/* Without records: what /proc shows, and nothing counted. */
	EXPECT_EQ(sample_of(text, "zombie_records_available"), "0");
	for (const char *absent : {"zombie_exits_total",
		 "zombie_collections_total", "zombie_duration_seconds"})
		EXPECT_EQ(text.find(absent), std::string::npos) << absent;
}

/* Any byte a process may put in its name is a valid label value. */
TEST(Exposition, NamesAreEscapedAndEachFormatIsItsOwn)
{
	Fleet f(true);
	Scan scan;
	scan.parents = {held_by(42,
	    "a\"b\\c\n\x1b\xff"
	    "\xc3\xa9",
	    {dead(7, sec)})};
	Metrics m = f.scrape(scan, {"/x\"y"}, sec);
	std::string text = exposition(m, Format::Text);
	EXPECT_NE(
	    text.find(R"({parent_pid="42",parent_comm="a\"b\\\\c\\n\\x1b\\xff)"
		      "\xc3\xa9"
		      R"(",cgroup="/x\"y"} 1)"
		      "\n"),
	    std::string::npos)
	    << text;
	for (const std::string &l : split(text, '\n')) {
		EXPECT_TRUE(l[0] == '#' || l.rfind("zombie_", 0) == 0) << l;
		for (char c : l)
			EXPECT_GE((unsigned char)c, 0x20) << l;
	}
	EXPECT_NE(text.find("# TYPE zombie_exits_total counter\n"),
	    std::string::npos);
	EXPECT_EQ(text.find("# EOF"), std::string::npos);
	EXPECT_EQ(text.find("# UNIT"), std::string::npos);

	/* OpenMetrics: a counter's family is named without _total. */
	std::string om = exposition(m, Format::OpenMetrics);
	EXPECT_NE(
	    om.find("# TYPE zombie_exits counter\nzombie_exits_total 0\n"),
	    std::string::npos)
	    << om;
	EXPECT_NE(om.find("# UNIT zombie_duration_seconds seconds\n"),
	    std::string::npos);
	EXPECT_EQ(om.size() - om.rfind("# EOF\n"), 6U);
	EXPECT_NE(std::string(content_type(Format::OpenMetrics))
		      .find("application/openmetrics-text"),
	    std::string::npos);
}

/* A request's head, from whatever bytes come, as they come. */
TEST(Http, RequestsAreReadStrictly)
{
	Request r;
	std::string get = "GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n"
			  "accept: text/plain;q=0.5, "
			  "application/openmetrics-text; version=1.0.0\r\n\r\n";
	for (size_t n = 0; n < get.size(); n++)
		EXPECT_EQ(parse_request(get.substr(0, n), r), Parse::More) << n;
	ASSERT_EQ(parse_request(get, r), Parse::Done);
	EXPECT_EQ(r.method, "GET");
	EXPECT_EQ(r.path, "/metrics");
	EXPECT_TRUE(r.openmetrics);

	Request plain;
	EXPECT_EQ(parse_request("GET / HTTP/1.0\r\nAccept: application/"
				"openmetrics-text;q=0\r\n\r\n",
		      plain),
	    Parse::Done);
	EXPECT_FALSE(plain.openmetrics);

	for (const char *bad : {"get / HTTP/1.1\r\n\r\n", "GET /\r\n\r\n",
		 "GET x HTTP/1.1\r\n\r\n", "GET / HTTP/2.0\r\n\r\n",
		 "GET  / HTTP/1.1\r\n\r\n",
		 "GET / HTTP/1.1\r\nno colon\r\n\r\n", "\r\n\r\n"}) {
		Request b;
		EXPECT_EQ(parse_request(bad, b), Parse::Bad) << bad;
	}
	/* A head that never ends is cut off, not kept. */
	Request big;
	EXPECT_EQ(
	    parse_request(
		"GET / HTTP/1.1\r\nX: " + std::string(MOST_HEAD, 'a'), big),
	    Parse::Bad);

	Answer a;
	a.status = 405;
	a.allow = true;
	a.type = "text/plain";
	a.body = "only GET\n";
	EXPECT_EQ(response(a), "HTTP/1.1 405 Method Not Allowed\r\n"
			       "Content-Type: text/plain\r\n"
			       "Content-Length: 9\r\nAllow: GET\r\n"
			       "Connection: close\r\n\r\nonly GET\n");
}

TEST(Http, ListenAddresses)
{
	std::optional<Listen> l = parse_listen("127.0.0.1:10345");
	ASSERT_TRUE(l);
	EXPECT_EQ(l->host, "127.0.0.1");
	EXPECT_EQ(l->port, 10345);
	EXPECT_FALSE(l->v6);
	l = parse_listen("[::1]:0");
	ASSERT_TRUE(l);
	EXPECT_EQ(l->host, "::1");
	EXPECT_TRUE(l->v6);
	l = parse_listen(":80");
	ASSERT_TRUE(l);
	EXPECT_EQ(l->host, "0.0.0.0");
	for (const char *bad : {"localhost:1", "1.2.3.4", "1.2.3.4:65536",
		 "1.2.3.4:-1", "[::1]", "::1:80", "1.2.3:4", "1.2.3.4: 5"})
		EXPECT_FALSE(parse_listen(bad)) << bad;
}
