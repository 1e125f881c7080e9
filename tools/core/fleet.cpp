// SPDX-License-Identifier: BSD-2-Clause
#include "core/fleet.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <utility>

namespace {

constexpr Nanos SECOND = 1'000'000'000;
/* Ends kept for collections still to come: enough for any burst. */
constexpr size_t MOST_ENDS = 1 << 17;

void
observe(Durations &d, Nanos held)
{
	double s = (double)std::max<Nanos>(held, 0) / (double)SECOND;
	size_t b = 0;

	while (b < DURATION_BUCKETS.size() && s > DURATION_BUCKETS[b])
		b++;
	d.counts[b]++;
	d.sum += s;
	d.count++;
}

} // namespace

void
Fleet::ended(pid_t pid, Nanos t)
{
	exits_++;
	ends_[pid] = t;
}

void
Fleet::collected(pid_t pid, Nanos t, bool exact)
{
	auto it = ends_.find(pid);

	if (it == ends_.end())
		return;
	collections_++;
	if (!exact)
		bounded_++;
	observe(durations_, t - it->second);
	ends_.erase(it);
}

/*
 * A number seen again with another start is another process; one whose
 * end the records told is aged from it, exactly.
 */
Nanos
Fleet::age_of(
    const ScanZombie &z, Nanos now, std::unordered_map<pid_t, Seen> &seen) const
{
	auto end = ends_.find(z.proc.pid);
	Nanos start = now - z.age;
	auto was = seen_.find(z.proc.pid);
	Seen s{now, start};

	if (was != seen_.end() &&
	    std::abs(was->second.start - start) < SECOND / 10)
		s = was->second;
	seen[z.proc.pid] = s;
	if (end != ends_.end() && end->second <= now && end->second >= start)
		return now - end->second;
	return now - s.first;
}

/*
 * Ends of processes no scrape found a zombie, and that no hang-up told
 * collected, were missed: the oldest go first once there are too many.
 */
void
Fleet::forget(Nanos now)
{
	if (ends_.size() <= MOST_ENDS)
		return;
	std::vector<Nanos> times;
	times.reserve(ends_.size());
	for (const auto &e : ends_)
		times.push_back(e.second);
	std::nth_element(times.begin(), times.begin() + MOST_ENDS / 2,
	    times.end(), std::greater<>());
	Nanos cut = std::min(times[MOST_ENDS / 2], now);
	for (auto it = ends_.begin(); it != ends_.end();)
		it = it->second <= cut ? ends_.erase(it) : std::next(it);
}

Metrics
Fleet::scrape(
    const Scan &scan, const std::vector<std::string> &cgroups, Nanos now)
{
	Metrics m;
	std::unordered_map<pid_t, Seen> seen;
	ParentSeries rest;

	for (size_t i = 0; i < scan.parents.size(); i++) {
		const ScanParent &p = scan.parents[i];
		ParentSeries s;
		s.parent = p.proc;
		s.cgroup = i < cgroups.size() ? cgroups[i] : "";
		s.zombies = p.zombies.size();
		for (const ScanZombie &z : p.zombies)
			s.oldest = std::max(s.oldest, age_of(z, now, seen));
		if (m.parents.size() < MOST_PARENTS) {
			m.parents.push_back(std::move(s));
			continue;
		}
		rest.zombies += s.zombies;
		rest.oldest = std::max(rest.oldest, s.oldest);
	}
	if (rest.zombies > 0)
		m.parents.push_back(std::move(rest));
	seen_ = std::move(seen);
	forget(now);
	m.records = records_;
	m.exits = exits_;
	m.collections = collections_;
	m.bounded = bounded_;
	m.lost = lost_;
	m.durations = durations_;
	return m;
}
