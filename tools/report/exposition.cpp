// SPDX-License-Identifier: BSD-2-Clause
#include "report/exposition.h"

#include <string>

#include "report/words.h"

namespace {

constexpr double SECOND = 1e9;

/* A family's HELP and TYPE lines; OpenMetrics names a counter's family
 * without its _total. */
std::string
family(std::string_view name, const char *type, const char *help, Format f)
{
	std::string fam(name);
	if (f == Format::OpenMetrics && fam.size() > 6 &&
	    fam.compare(fam.size() - 6, 6, "_total") == 0)
		fam.resize(fam.size() - 6);
	std::string out = "# HELP " + fam + " " + help + "\n";
	out += "# TYPE " + fam + " " + type + "\n";
	if (f == Format::OpenMetrics && fam.size() > 8 &&
	    fam.compare(fam.size() - 8, 8, "_seconds") == 0)
		out += "# UNIT " + fam + " seconds\n";
	return out;
}

std::string
labels(const ParentSeries &s)
{
	if (!s.parent)
		return "{parent_pid=\"other\",parent_comm=\"other\",cgroup="
		       "\"other\"}";
	return "{parent_pid=\"" + std::to_string(s.parent->pid) +
	       "\",parent_comm=\"" + label_value(s.parent->comm) +
	       "\",cgroup=\"" + label_value(s.cgroup) + "\"}";
}

std::string
number(double v)
{
	return format("%.9g", v);
}

std::string
parents(const Metrics &m, Format f)
{
	std::string out = family("zombie_processes", "gauge",
	    "Zombies now, by the parent that holds them (the parents past "
	    "the first 100 share the series labelled other).",
	    f);
	for (const ParentSeries &s : m.parents)
		out += "zombie_processes" + labels(s) + " " +
		       std::to_string(s.zombies) + "\n";
	out += family("zombie_oldest_seconds", "gauge",
	    "How long the parent's oldest zombie has been one: from its end "
	    "where the kernel's records told it, else from the first scrape "
	    "that found it, a lower bound.",
	    f);
	for (const ParentSeries &s : m.parents)
		out += "zombie_oldest_seconds" + labels(s) + " " +
		       number((double)s.oldest / SECOND) + "\n";
	return out;
}

std::string
counter(const char *name, std::uint64_t v, const char *help, Format f)
{
	return family(name, "counter", help, f) + name + " " +
	       std::to_string(v) + "\n";
}

std::string
durations(const Durations &d, Format f)
{
	std::string out = family("zombie_duration_seconds", "histogram",
	    "How long each process that ended stayed a zombie before it was "
	    "collected or released; for one gone before it could be held, "
	    "the time until it was found gone, a bound (counted in "
	    "zombie_collection_bounds_total).",
	    f);
	std::uint64_t below = 0;
	for (size_t b = 0; b < d.counts.size(); b++) {
		below += d.counts[b];
		std::string le = b < DURATION_BUCKETS.size()
				     ? number(DURATION_BUCKETS[b])
				     : "+Inf";
		out += "zombie_duration_seconds_bucket{le=\"" + le + "\"} " +
		       std::to_string(below) + "\n";
	}
	out += "zombie_duration_seconds_sum " + number(d.sum) + "\n";
	out +=
	    "zombie_duration_seconds_count " + std::to_string(d.count) + "\n";
	return out;
}

} // namespace

const char *
content_type(Format f)
{
	return f == Format::OpenMetrics
		   ? "application/openmetrics-text; version=1.0.0; "
		     "charset=utf-8"
		   : "text/plain; version=0.0.4; charset=utf-8";
}

std::string
label_value(std::string_view name)
{
	std::string out;

	for (char c : visible(name)) {
		if (c == '\\' || c == '"')
			out += '\\';
		out += c;
	}
	return out;
}

std::string
exposition(const Metrics &m, Format f)
{
	std::string out = parents(m, f);

	out += family("zombie_records_available", "gauge",
	    "1 where the kernel's records of exits are followed, so that "
	    "exits, collections and their durations are counted; 0 where "
	    "they are refused, and only what /proc shows is served.",
	    f);
	out += std::string("zombie_records_available ") +
	       (m.records ? "1" : "0") + "\n";
	if (m.records) {
		out += counter("zombie_exits_total", m.exits,
		    "Processes that ended, as the kernel's records told, since "
		    "the server started.",
		    f);
		out += counter("zombie_collections_total", m.collections,
		    "Ended processes collected by a wait, or released by the "
		    "kernel, since the server started.",
		    f);
		out += counter("zombie_collection_bounds_total", m.bounded,
		    "Of those, the ones gone before they could be held: their "
		    "time as a zombie is a bound.",
		    f);
		out += counter("zombie_records_lost_total", m.lost,
		    "Records the kernel could not write, its ring being full: "
		    "exits missed, and not counted.",
		    f);
		out += durations(m.durations, f);
	}
	if (f == Format::OpenMetrics)
		out += "# EOF\n";
	return out;
}
