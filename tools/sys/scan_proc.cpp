// SPDX-License-Identifier: BSD-2-Clause
/*
 * The scan's reading of /proc.  Every process's stat is read once, with
 * one read, since a machine may hold tens of thousands; status, which is
 * longer to make and to parse, only for the parents of zombies and the
 * ancestors that decide where their zombies would go.  Processes end
 * while they are read: one that has gone is skipped, not an error.
 */

#include "sys/scan_proc.h"

#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <string_view>

#include "sys/clock.h"
#include "sys/fd.h"
#include "sys/proc.h"

namespace {

constexpr Nanos second = 1'000'000'000;
/* A loop of parents cannot happen; a bound costs nothing. */
constexpr int deepest = 4096;

/* Every process, by number; errno set if /proc cannot be listed. */
std::optional<std::vector<Stat>>
read_all()
{
	std::optional<std::vector<pid_t>> pids = pids_read();
	std::vector<Stat> all;

	if (!pids)
		return std::nullopt;
	for (pid_t pid : *pids) {
		std::optional<Stat> s = stat_read(pid);
		if (s)
			all.push_back(std::move(*s));
	}
	std::sort(all.begin(), all.end(),
	    [](const Stat &a, const Stat &b) { return a.pid < b.pid; });
	return all;
}

const Stat *
find(const std::vector<Stat> &all, pid_t pid)
{
	auto it = std::lower_bound(all.begin(), all.end(), pid,
	    [](const Stat &s, pid_t p) { return s.pid < p; });
	return it != all.end() && it->pid == pid ? &*it : nullptr;
}

Named
name_of(const std::vector<Stat> &all, pid_t pid)
{
	const Stat *s = find(all, pid);
	return Named{pid, s != nullptr ? s->comm : std::string()};
}

/*
 * Where the parent's end would send its children: up its ancestors within
 * its own PID namespace, to that namespace's init.  Only a parent in a
 * namespace below ours needs its ancestors' status, to know where that
 * namespace ends.
 */
void
adoption(ScanParent &p, const std::vector<Stat> &all, size_t depth)
{
	const Stat *a = find(all, p.proc.pid);

	if (depth == 1 && find(all, 1) != nullptr)
		p.init = name_of(all, 1);
	for (int i = 0; i < deepest && a != nullptr && a->ppid > 0; i++) {
		pid_t up = a->ppid;
		if (depth == 1 && up == 1)
			return;
		if (depth > 1) {
			std::optional<Status> st = status_read(up);
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
evidence(ScanParent &p, const Status &st, const std::vector<Stat> &all)
{
	p.threads = std::max(st.threads, p.threads);
	p.sigchld = has_signal(st.ignored, SIGCHLD)  ? Sigchld::Ignored
		    : has_signal(st.caught, SIGCHLD) ? Sigchld::Caught
						     : Sigchld::Default;
	p.blocked = has_signal(st.blocked, SIGCHLD);
	if (st.tracer > 0)
		p.tracer = name_of(all, st.tracer);
}

ScanParent
parent(const std::vector<Stat> &all, pid_t ppid)
{
	ScanParent p;
	const Stat *s = find(all, ppid);

	p.proc = name_of(all, ppid);
	if (ppid == 0 || s == nullptr) {
		p.hold = ppid == 0 ? Hold::Outside : Hold::Gone;
		return p;
	}
	p.state = s->state;
	p.threads = s->threads;
	p.main_exited = s->state == 'Z' && s->threads > 1;
	std::optional<Status> st = status_read(ppid);
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
		adoption(p, all, depth);
	return p;
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
gather(const std::vector<Stat> &all)
{
	Scan scan;
	std::vector<std::pair<pid_t, ScanZombie>> zombies;
	Nanos now = boot_now();
	long ticks = sysconf(_SC_CLK_TCK);
	auto hz = (unsigned long long)(ticks > 0 ? ticks : 100);

	for (const Stat &s : all) {
		if (s.state != 'Z')
			continue;
		if (s.threads > 1) {
			scan.leaders.push_back(ScanLeader{
			    Named{s.pid, s.comm}, s.ppid, s.threads - 1});
			continue;
		}
		auto start = (unsigned long long)s.start_ticks;
		Nanos born = (Nanos)(start / hz) * second +
			     (Nanos)(start % hz) * second / (Nanos)hz;
		zombies.emplace_back(
		    s.ppid, ScanZombie{Named{s.pid, s.comm}, now - born});
	}
	std::stable_sort(zombies.begin(), zombies.end(),
	    [](const auto &a, const auto &b) { return a.first < b.first; });
	for (size_t i = 0; i < zombies.size(); i++) {
		if (i == 0 || zombies[i].first != zombies[i - 1].first)
			scan.parents.push_back(parent(all, zombies[i].first));
		scan.parents.back().zombies.push_back(zombies[i].second);
	}
	order(scan);
	return scan;
}

} // namespace

std::optional<Scan>
scan_read()
{
	std::optional<std::vector<Stat>> all = read_all();
	if (!all)
		return std::nullopt;
	Scan scan = gather(*all);
	scan.hidden_by = hidden_read();
	return scan;
}
