// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch --serve on this machine: scraped by hand, checked by
 * Prometheus's own parser, scraped by a real Prometheus, and tried with
 * clients that stall or send what is not HTTP.
 */

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

/* The server on a port of the system's choosing, killed with the test. */
class Served {
      public:
	/* As nobody, where the program is a copy nobody may run. */
	explicit Served(const char *program = WATCH_PATH, bool nobody = false)
	{
		int p[2];
		EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
		pid_ = fork();
		if (pid_ == 0) {
			(void)dup2(p[1], 2);
			if (nobody)
				(void)execl("/usr/bin/setpriv", "setpriv",
				    "--reuid=nobody", "--regid=nogroup",
				    "--clear-groups", program,
				    "--serve=127.0.0.1:0", (char *)nullptr);
			else
				(void)execl(program, program,
				    "--serve=127.0.0.1:0", (char *)nullptr);
			_exit(127);
		}
		(void)close(p[1]);
		err_ = p[0];
		/* Its first line says where it listens. */
		std::string line;
		char c;
		while (line.find('\n') == std::string::npos &&
		       read(err_, &c, 1) == 1)
			line += c;
		std::smatch m;
		if (std::regex_search(line, m,
			std::regex("serving http://127\\.0\\.0\\.1:(\\d+)/")))
			port_ = std::stoi(m[1]);
		EXPECT_GT(port_, 0) << line;
	}
	/* What it said on standard error after where it listens. */
	std::string said()
	{
		std::string out;
		char buf[4096];
		(void)fcntl(err_, F_SETFL, O_NONBLOCK);
		for (ssize_t n; (n = read(err_, buf, sizeof(buf))) > 0;)
			out.append(buf, (size_t)n);
		return out;
	}
	Served(const Served &) = delete;
	Served &operator=(const Served &) = delete;
	~Served()
	{
		if (pid_ > 0) {
			(void)kill(pid_, SIGKILL);
			(void)waitpid(pid_, nullptr, 0);
		}
		(void)close(err_);
	}
	int port() const
	{
		return port_;
	}
	/* Ends it with sig: its status, and how long it took. */
	int end(int sig, double *took)
	{
		int status = -1;
		double t0 = now();
		(void)kill(pid_, sig);
		(void)waitpid(pid_, &status, 0);
		*took = now() - t0;
		pid_ = -1;
		return status;
	}

      private:
	pid_t pid_ = -1;
	int err_ = -1;
	int port_ = 0;
};

int
connected(int port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_port = htons((uint16_t)port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	EXPECT_EQ(
	    connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)), 0);
	return fd;
}

/* The whole response to request, read until the server closes. */
std::string
ask(int port, const std::string &request)
{
	int fd = connected(port);
	EXPECT_EQ(
	    write(fd, request.data(), request.size()), (ssize_t)request.size());
	std::string out;
	char buf[8192];
	for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;)
		out.append(buf, (size_t)n);
	(void)close(fd);
	return out;
}

std::string
scrape(int port, const char *accept = "text/plain")
{
	std::string r = ask(port, std::string("GET /metrics HTTP/1.1\r\nHost: "
					      "a\r\nAccept: ") +
				      accept + "\r\n\r\n");
	EXPECT_EQ(r.rfind("HTTP/1.1 200 OK\r\n", 0), 0U) << r;
	return r.substr(std::min(r.find("\r\n\r\n") + 4, r.size()));
}

/* The value of the sample of name with labels matching, or -1. */
double
value(const std::string &text, const std::string &pattern)
{
	std::smatch m;
	if (!std::regex_search(
		text, m, std::regex("(^|\n)" + pattern + " ([-+0-9.e]+)\n")))
		return -1;
	return std::stod(m[2]);
}

/* What a command printed, and its status, run by sh. */
int
run(const std::string &cmd, std::string *out)
{
	FILE *p = popen((cmd + " 2>&1").c_str(), "r"); // NOLINT(cert-env33-c)
	char buf[4096];
	out->clear();
	for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0;)
		out->append(buf, n);
	return p != nullptr ? pclose(p) : -1;
}

bool
have(const char *program)
{
	std::string out;
	return run(std::string("command -v ") + program, &out) == 0;
}

/* Prometheus's tools are CI's; elsewhere a test of them says it skips. */
#define NEED(program)                                                          \
	do {                                                                   \
		if (!have(program) && getenv("CI") != nullptr)                 \
			FAIL() << (program) << " is installed by .ci/run";     \
		if (!have(program))                                            \
			GTEST_SKIP() << (program) << " is not installed";      \
	} while (0)

std::string
written(const std::string &text)
{
	char path[] = "/tmp/zombie-serve-XXXXXX";
	int fd = mkstemp(path);
	EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
	(void)close(fd);
	return path;
}

/* A parent that holds two zombies and never collects them: sleep. */
pid_t
holder()
{
	pid_t pid = fork();
	if (pid == 0) {
		(void)execl("/bin/sh", "sh", "-c",
		    "sleep 0.05 & sleep 0.05 & exec sleep 60", (char *)nullptr);
		_exit(127);
	}
	return pid;
}

std::string
series(pid_t parent)
{
	return "zombie_processes\\{parent_pid=\"" + std::to_string(parent) +
	       "\",parent_comm=\"sleep\",cgroup=\"[^\"]*\"\\}";
}

} // namespace

/*
 * A parent's zombies appear with its name and cgroup, aged from their
 * end, in a text Prometheus's parser takes; once the parent ends and a
 * reaper collects them, the series goes and their durations are counted.
 */
TEST(Serve, AParentsZombiesAppearAndGo)
{
	NEED_ROOT();
	Served s;
	double t0 = now();
	pid_t p = holder();
	std::string text;
	while (now() - t0 < 10 && value(text, series(p)) != 2)
		text = scrape(s.port());
	ASSERT_EQ(value(text, series(p)), 2) << text;
	/* A second on, they have been zombies that long at least. */
	(void)sleep(1);
	text = scrape(s.port());
	double held = now() - t0;
	ASSERT_EQ(value(text, series(p)), 2) << text;
	std::ifstream cg("/proc/" + std::to_string(p) + "/cgroup");
	std::string line, group;
	while (std::getline(cg, line))
		if (line.rfind("0::", 0) == 0)
			group = line.substr(3);
	EXPECT_NE(text.find("cgroup=\"" + group + "\"} 2\n"), std::string::npos)
	    << group << "\n"
	    << text;
	/* Aged from their ends, a little after the parent started. */
	double oldest = value(text, "zombie_oldest_seconds\\{parent_pid=\"" +
					std::to_string(p) + "\"[^}]*\\}");
	EXPECT_GE(oldest, 1.0);
	EXPECT_LE(oldest, held);
	EXPECT_EQ(value(text, "zombie_records_available"), 1);
	EXPECT_GE(value(text, "zombie_exits_total"), 2);
	double long_ones = value(text, "zombie_duration_seconds_count") -
			   value(text, "zombie_duration_seconds_bucket\\{le="
				       "\"0.25\"\\}");

	NEED("promtool");
	std::string file = written(text), out;
	EXPECT_EQ(run("promtool check metrics < " + file, &out), 0) << out;
	(void)unlink(file.c_str());

	/* Zombies held a second or more, then collected by the reaper. */
	(void)kill(p, SIGKILL);
	(void)waitpid(p, nullptr, 0);
	double gone = now();
	auto held_long = [&] {
		return value(text, "zombie_duration_seconds_count") -
		       value(text, "zombie_duration_seconds_bucket\\{le="
				   "\"0.25\"\\}");
	};
	while (now() - gone < 10 &&
	       (value(text, series(p)) != -1 || held_long() < long_ones + 2))
		text = scrape(s.port());
	EXPECT_EQ(value(text, series(p)), -1) << text;
	EXPECT_GE(held_long(), long_ones + 2) << text;

	/* OpenMetrics, where the scraper asks for it. */
	std::string om = scrape(s.port(),
	    "application/openmetrics-text;version=1.0.0,text/plain;q=0.5");
	EXPECT_NE(om.find("# TYPE zombie_exits counter\n"), std::string::npos);
	EXPECT_EQ(om.size() - om.rfind("# EOF\n"), 6U) << om;
}

/*
 * Clients that connect and say nothing, fill every slot, send what is
 * not HTTP, or ask for what is not there: the next scrape still answers,
 * and a signal ends the server within a second, by that signal.
 */
TEST(Serve, StallingAndBadClientsDoNotStopTheNextScrape)
{
	for (int sig : {SIGTERM, SIGINT}) {
		Served s;
		std::vector<int> idle;
		idle.reserve(40);
		for (int i = 0; i < 40; i++)
			idle.push_back(connected(s.port()));
		EXPECT_NE(
		    scrape(s.port()).find("# TYPE zombie_processes gauge"),
		    std::string::npos);
		EXPECT_EQ(
		    ask(s.port(), "NOT HTTP\r\n\r\n").rfind("HTTP/1.1 400 ", 0),
		    0U);
		EXPECT_EQ(ask(s.port(), "GET /x HTTP/1.1\r\n\r\n")
			      .rfind("HTTP/1.1 404 ", 0),
		    0U);
		std::string no =
		    ask(s.port(), "POST /metrics HTTP/1.1\r\nContent-Length: "
				  "0\r\n\r\n");
		EXPECT_EQ(no.rfind("HTTP/1.1 405 ", 0), 0U) << no;
		EXPECT_NE(no.find("\r\nAllow: GET\r\n"), std::string::npos);
		EXPECT_EQ(ask(s.port(),
			      "GET / HTTP/1.1\r\nX: " + std::string(20000, 'x'))
			      .rfind("HTTP/1.1 400 ", 0),
		    0U);
		std::string index = ask(s.port(), "GET / HTTP/1.0\r\n\r\n");
		EXPECT_NE(index.find("/metrics"), std::string::npos) << index;
		for (int fd : idle)
			(void)close(fd);
		double took = 0;
		int status = s.end(sig, &took);
		EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig)
		    << status;
		EXPECT_LT(took, 1.0);
	}
}

/*
 * Without the right to the kernel's records, what /proc shows is served,
 * and nothing is counted: it says so once, on stderr and at /.
 */
TEST(Serve, WithoutPrivilegeItServesWhatProcShowsAndSaysSo)
{
	NEED_ROOT();
	ProgramCopy copy(WATCH_PATH);
	ASSERT_FALSE(copy.path().empty());
	Served s(copy.path().c_str(), true);
	pid_t p = holder();
	std::string text;
	double t0 = now();
	while (now() - t0 < 10 && value(text, series(p)) != 2)
		text = scrape(s.port());
	EXPECT_EQ(value(text, series(p)), 2) << text;
	EXPECT_EQ(value(text, "zombie_records_available"), 0);
	for (const char *absent : {"zombie_exits_total", "zombie_duration"})
		EXPECT_EQ(text.find(absent), std::string::npos) << absent;
	std::string index = ask(s.port(), "GET / HTTP/1.0\r\n\r\n");
	EXPECT_NE(index.find("not seen: the kernel's records of exits are "
			     "refused"),
	    std::string::npos)
	    << index;
	(void)scrape(s.port());
	std::string err = s.said();
	EXPECT_EQ(err.find("zombie-watch: the kernel's records of exits are "
			   "refused"),
	    0U)
	    << err;
	EXPECT_EQ(err.find('\n'), err.size() - 1) << "said once: " << err;
	(void)kill(p, SIGKILL);
	(void)waitpid(p, nullptr, 0);
}

/*
 * A real Prometheus, on loopback with storage of its own, scrapes the
 * server each second, and its query API returns the series.
 */
TEST(Serve, ScrapedByARealPrometheus)
{
	NEED_ROOT();
	NEED("prometheus");
	Served s;
	char dir[] = "/tmp/zombie-prom-XXXXXX";
	ASSERT_NE(mkdtemp(dir), nullptr);
	std::string d = dir;
	/*
	 * A port for Prometheus below the system's ephemeral range: one the
	 * system chose and let go could be given next to a server of a test
	 * beside this one, and Prometheus would not start.
	 */
	int web = 20000 + (int)(getpid() % 10000);
	std::ofstream(d + "/prometheus.yml")
	    << "global:\n  scrape_interval: 1s\n"
	    << "scrape_configs:\n  - job_name: zombie\n"
	    << "    static_configs:\n      - targets: ['127.0.0.1:" << s.port()
	    << "']\n";
	pid_t prom = fork();
	if (prom == 0) {
		std::string listen =
		    "--web.listen-address=127.0.0.1:" + std::to_string(web);
		std::string config = "--config.file=" + d + "/prometheus.yml";
		std::string data = "--storage.tsdb.path=" + d + "/data";
		int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
		(void)dup2(null, 1);
		(void)dup2(null, 2);
		(void)execlp("prometheus", "prometheus", config.c_str(),
		    data.c_str(), listen.c_str(), (char *)nullptr);
		_exit(127);
	}
	pid_t p = holder();
	std::string answer,
	    want = "\"parent_pid\":\"" + std::to_string(p) + "\"";
	double t0 = now();
	while (now() - t0 < 30 && answer.find(want) == std::string::npos) {
		(void)usleep(500000);
		std::string r = ask(web,
		    "GET /api/v1/query?query=zombie_processes HTTP/1.1\r\n"
		    "Host: a\r\nConnection: close\r\n\r\n");
		answer = r.rfind("HTTP/1.1 200", 0) == 0 ? r : "";
	}
	(void)kill(prom, SIGKILL);
	(void)waitpid(prom, nullptr, 0);
	(void)kill(p, SIGKILL);
	(void)waitpid(p, nullptr, 0);
	std::string out;
	(void)run("rm -rf " + d, &out);
	EXPECT_NE(answer.find(want), std::string::npos) << answer;
	EXPECT_NE(answer.find("\"job\":\"zombie\""), std::string::npos);
	EXPECT_NE(answer.find("\"parent_comm\":\"sleep\""), std::string::npos);
}
