// SPDX-License-Identifier: BSD-2-Clause
/*
 * The scan's reading of /proc.  Every process's stat is read once, with
 * one read, since a machine may hold tens of thousands; status, which is
 * longer to make and to parse, only for the parents of zombies and the
 * ancestors that decide where their zombies would go.  Processes end
 * while they are read: one that has gone is skipped, not an error.
 */

#include "sys/scan_proc.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "sys/fd.h"

namespace {

constexpr Nanos second = 1'000'000'000;
/* A loop of parents cannot happen; a bound costs nothing. */
constexpr int deepest = 4096;
constexpr unsigned long long sigchld_bit = 1ULL << (17 - 1);

struct Entry { /* one process, as its stat file gives it */
	pid_t pid = 0;
	pid_t ppid = 0;
	char state = 0;
	int threads = 0;
	unsigned long long start = 0; /* clock ticks after boot */
	std::string comm;
};

struct Status {
	int threads = 0;
	pid_t tracer = 0;
	std::vector<pid_t> nspid; /* from this namespace down to its own */
	unsigned long long blocked = 0, ignored = 0, caught = 0;
};

/* The fields after the command, which may hold anything, ")" included. */
std::optional<Entry>
parse_stat(pid_t pid, char *buf)
{
	char *open = strchr(buf, '('), *close = strrchr(buf, ')');
	if (open == nullptr || close == nullptr || close < open ||
	    close[1] != ' ' || close[2] == '\0')
		return std::nullopt;
	Entry s;
	s.pid = pid;
	s.comm.assign(open + 1, close);
	s.state = close[2];
	/* Fields 4 to 22; 20 is num_threads and 22 starttime. */
	char *p = close + 3;
	for (int field = 4; field <= 22 && *p != '\0'; field++) {
		unsigned long long v = strtoull(p, &p, 10);
		if (field == 4)
			s.ppid = (pid_t)v;
		else if (field == 20)
			s.threads = (int)v;
		else if (field == 22)
			s.start = v;
	}
	return s;
}

std::optional<Entry>
read_stat(int proc, pid_t pid)
{
	char path[32], buf[2048];

	(void)snprintf(path, sizeof(path), "%d/stat", (int)pid);
	Fd fd(openat(proc, path, O_RDONLY | O_CLOEXEC));
	ssize_t n = fd ? pread(fd.get(), buf, sizeof(buf) - 1, 0) : -1;
	if (n <= 0)
		return std::nullopt;
	buf[n] = '\0';
	return parse_stat(pid, buf);
}

std::optional<std::string>
read_file(int proc, const char *path)
{
	char buf[4096];
	std::string s;
	ssize_t n;

	Fd fd(openat(proc, path, O_RDONLY | O_CLOEXEC));
	if (!fd)
		return std::nullopt;
	while ((n = read(fd.get(), buf, sizeof(buf))) > 0 ||
	       (n == -1 && errno == EINTR))
		s.append(buf, n > 0 ? (size_t)n : 0);
	if (n == -1)
		return std::nullopt;
	return s;
}

void
status_field(Status &st, std::string_view key, const std::string &value)
{
	const char *v = value.c_str();

	if (key == "Threads")
		st.threads = (int)strtol(v, nullptr, 10);
	else if (key == "TracerPid")
		st.tracer = (pid_t)strtol(v, nullptr, 10);
	else if (key == "SigBlk")
		st.blocked = strtoull(v, nullptr, 16);
	else if (key == "SigIgn")
		st.ignored = strtoull(v, nullptr, 16);
	else if (key == "SigCgt")
		st.caught = strtoull(v, nullptr, 16);
	else if (key == "NSpid")
		for (char *end = nullptr;; v = end) {
			long pid = strtol(v, &end, 10);
			if (end == v)
				break;
			st.nspid.push_back((pid_t)pid);
		}
}

std::optional<Status>
read_status(int proc, pid_t pid)
{
	char path[32];

	(void)snprintf(path, sizeof(path), "%d/status", (int)pid);
	std::optional<std::string> text = read_file(proc, path);
	if (!text)
		return std::nullopt;
	Status st;
	std::string_view rest = *text;
	while (!rest.empty()) {
		size_t nl = std::min(rest.find('\n'), rest.size());
		std::string_view line = rest.substr(0, nl);
		size_t colon = line.find(':');
		if (colon != std::string_view::npos)
			status_field(st, line.substr(0, colon),
			    std::string(line.substr(colon + 1)));
		rest.remove_prefix(std::min(nl + 1, rest.size()));
	}
	return st;
}

using Dir = std::unique_ptr<DIR, int (*)(DIR *)>;

/* Every process, by number; errno set if /proc cannot be listed. */
std::optional<std::vector<Entry>>
read_all(int proc)
{
	Dir dir(fdopendir(dup(proc)), closedir);
	std::vector<Entry> all;

	if (!dir)
		return std::nullopt;
	/* readdir_r is the deprecated one; a stream of our own is safe. */
	// cppcheck-suppress readdirCalled
	for (struct dirent *e; (e = readdir(dir.get())) != nullptr;) {
		char *end;
		long pid = strtol(e->d_name, &end, 10);
		if (pid <= 0 || *end != '\0')
			continue;
		std::optional<Entry> s = read_stat(proc, (pid_t)pid);
		if (s)
			all.push_back(std::move(*s));
	}
	std::sort(all.begin(), all.end(),
	    [](const Entry &a, const Entry &b) { return a.pid < b.pid; });
	return all;
}

const Entry *
find(const std::vector<Entry> &all, pid_t pid)
{
	auto it = std::lower_bound(all.begin(), all.end(), pid,
	    [](const Entry &s, pid_t p) { return s.pid < p; });
	return it != all.end() && it->pid == pid ? &*it : nullptr;
}

Named
name_of(const std::vector<Entry> &all, pid_t pid)
{
	const Entry *s = find(all, pid);
	return Named{pid, s != nullptr ? s->comm : std::string()};
}

/*
 * Where the parent's end would send its children: up its ancestors within
 * its own PID namespace, to that namespace's init.  Only a parent in a
 * namespace below ours needs its ancestors' status, to know where that
 * namespace ends.
 */
void
adoption(ScanParent &p, int proc, const std::vector<Entry> &all, size_t depth)
{
	const Entry *a = find(all, p.proc.pid);

	if (depth == 1 && find(all, 1) != nullptr)
		p.init = name_of(all, 1);
	for (int i = 0; i < deepest && a != nullptr && a->ppid > 0; i++) {
		pid_t up = a->ppid;
		if (depth == 1 && up == 1)
			return;
		if (depth > 1) {
			std::optional<Status> st = read_status(proc, up);
			if (!st || st->nspid.size() != depth)
				return;
			if (st->nspid.back() == 1) {
				p.init = name_of(all, up);
				return;
			}
		}
		p.ancestors.push_back(name_of(all, up));
		a = find(all, up);
	}
}

void
evidence(ScanParent &p, const Status &st, const std::vector<Entry> &all)
{
	p.threads = std::max(st.threads, p.threads);
	p.sigchld = (st.ignored & sigchld_bit) != 0  ? Sigchld::Ignored
		    : (st.caught & sigchld_bit) != 0 ? Sigchld::Caught
						     : Sigchld::Default;
	p.blocked = (st.blocked & sigchld_bit) != 0;
	if (st.tracer > 0)
		p.tracer = name_of(all, st.tracer);
}

ScanParent
parent(int proc, const std::vector<Entry> &all, pid_t ppid)
{
	ScanParent p;
	const Entry *s = find(all, ppid);

	p.proc = name_of(all, ppid);
	if (ppid == 0 || s == nullptr) {
		p.hold = ppid == 0 ? Hold::Outside : Hold::Gone;
		return p;
	}
	p.state = s->state;
	p.threads = s->threads;
	p.main_exited = s->state == 'Z' && s->threads > 1;
	std::optional<Status> st = read_status(proc, ppid);
	if (st)
		evidence(p, *st, all);
	size_t depth = st && !st->nspid.empty() ? st->nspid.size() : 1;
	pid_t inside = st && !st->nspid.empty() ? st->nspid.back() : ppid;
	p.nested = depth > 1;
	if (inside == 1)
		p.hold = Hold::Init;
	else
		p.hold = s->state == 'T'   ? Hold::Stopped
			 : s->state == 't' ? Hold::Traced
					   : Hold::Alive;
	if (p.hold != Hold::Init)
		adoption(p, proc, all, depth);
	return p;
}

Nanos
boot_now()
{
	struct timespec ts = {};

	(void)clock_gettime(CLOCK_BOOTTIME, &ts);
	return (Nanos)ts.tv_sec * second + ts.tv_nsec;
}

void
order(Scan &scan)
{
	for (ScanParent &p : scan.parents)
		std::sort(p.zombies.begin(), p.zombies.end(),
		    [](const ScanZombie &a, const ScanZombie &b) {
			    return a.age != b.age ? a.age > b.age
						  : a.proc.pid < b.proc.pid;
		    });
	std::sort(scan.parents.begin(), scan.parents.end(),
	    [](const ScanParent &a, const ScanParent &b) {
		    if (a.zombies.size() != b.zombies.size())
			    return a.zombies.size() > b.zombies.size();
		    Nanos x = a.zombies.front().age, y = b.zombies.front().age;
		    return x != y ? x > y : a.proc.pid < b.proc.pid;
	    });
}

/* The zombies under each parent, and the leaders whose threads run on. */
Scan
gather(int proc, const std::vector<Entry> &all)
{
	Scan scan;
	std::vector<std::pair<pid_t, ScanZombie>> zombies;
	Nanos now = boot_now();
	long ticks = sysconf(_SC_CLK_TCK);
	auto hz = (unsigned long long)(ticks > 0 ? ticks : 100);

	for (const Entry &s : all) {
		if (s.state != 'Z')
			continue;
		if (s.threads > 1) {
			scan.leaders.push_back(ScanLeader{
			    Named{s.pid, s.comm}, s.ppid, s.threads - 1});
			continue;
		}
		Nanos born = (Nanos)(s.start / hz) * second +
			     (Nanos)(s.start % hz) * second / (Nanos)hz;
		zombies.emplace_back(
		    s.ppid, ScanZombie{Named{s.pid, s.comm}, now - born});
	}
	std::stable_sort(zombies.begin(), zombies.end(),
	    [](const auto &a, const auto &b) { return a.first < b.first; });
	for (size_t i = 0; i < zombies.size(); i++) {
		if (i == 0 || zombies[i].first != zombies[i - 1].first)
			scan.parents.push_back(
			    parent(proc, all, zombies[i].first));
		scan.parents.back().zombies.push_back(zombies[i].second);
	}
	order(scan);
	return scan;
}

} // namespace

std::optional<Scan>
scan_read()
{
	Fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (!proc)
		return std::nullopt;
	std::optional<std::vector<Entry>> all = read_all(proc.get());
	if (!all)
		return std::nullopt;
	return gather(proc.get(), *all);
}
