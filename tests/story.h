// SPDX-License-Identifier: BSD-2-Clause
/*
 * A run as the tracker would log it, built by hand and printed event by
 * event as the watcher prints it; and the pieces a test reads it by.
 */
#ifndef ZOMBIE_TESTS_STORY_H
#define ZOMBIE_TESTS_STORY_H

#include <algorithm>
#include <string>
#include <vector>

#include "core/log.h"
#include "log_events.h"
#include "report/narrate.h"
#include "report/words.h"

/* A run of the program under the watcher, printed as it is logged. */
struct Story {
	Log log;
	Style style;
	std::string printed;
	ProcId watcher = log.add_process(7821, Role::Watcher);
	ProcId program = log.add_process(7822, Role::Program, "zombie");

	ProcId child(pid_t pid)
	{
		return log.add_process(pid, Role::Child);
	}
	ProcId forked(Nanos t, pid_t pid, ProcId by)
	{
		ProcId id = child(pid);
		Event e = at(t, What::Created, id, by);
		e.by = by;
		put(e);
		return id;
	}
	/* A periodic sample, as the tracker takes of a process it holds. */
	void seen(ProcId id, Nanos t, char state = 'S')
	{
		Event e = at(t, What::Sample, id);
		e.state = state;
		put(e);
	}
	/* What is printed the moment the event is logged. */
	std::string put(const Event &e)
	{
		log.append(e);
		std::string p = narrate(log, log.events().size() - 1, style);
		printed += p;
		return p;
	}
	std::string look(Nanos t, std::vector<Look> looks, int adopted = 0)
	{
		Event e = at(t, What::States, program);
		e.snapshot = log.add_snapshot({std::move(looks), adopted});
		return put(e);
	}
	/* Everything printed, rendered again once the run is over. */
	std::string replay() const
	{
		std::string out;
		for (size_t i = 0; i < log.events().size(); i++)
			out += narrate(log, i, style);
		return out;
	}
};

/* The pieces of text between separators; none of them empty. */
inline std::vector<std::string>
split(const std::string &text, char sep)
{
	std::vector<std::string> out;
	for (size_t i = 0, j = 0; i < text.size(); i = j + 1) {
		j = std::min(text.find(sep, i), text.size());
		if (j > i)
			out.push_back(text.substr(i, j - i));
	}
	return out;
}

inline std::string
head(const std::string &paragraph)
{
	return paragraph.substr(0, paragraph.find('\n'));
}

/* The reason under a paragraph's line, unfolded. */
inline std::string
reasons(const std::string &paragraph)
{
	std::string out;
	for (const std::string &line : split(paragraph, '\n'))
		if (line[0] == ' ')
			for (const std::string &w : split(line, ' '))
				out += (out.empty() ? "" : " ") + w;
	return out;
}

#endif
