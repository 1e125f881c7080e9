// SPDX-License-Identifier: BSD-2-Clause
#include "core/pending.h"

void
Pending::push(const Event &e)
{
	q_.push_back(Item{e, seq_++});
	std::push_heap(q_.begin(), q_.end());
	if (e.what == What::Collected && e.how == How::Wait)
		collected_[e.proc] = {e.other, e.t};
	if (e.what == What::Collected && e.other)
		collecting_[*e.other]++;
	if (e.what != What::Sample)
		told_.push(e.t);
}

void
Pending::before_end(ProcId collector, Nanos end)
{
	bool moved = false;

	/* Most that end collected nothing: a burst need not look. */
	if (collecting_.count(collector) == 0)
		return;
	for (Item &i : q_)
		if (i.e.what == What::Collected && i.e.other == collector &&
		    i.e.t >= end) {
			i.e.t = end - 1;
			moved = true;
			if (auto c = collected_.find(i.e.proc);
			    c != collected_.end())
				c->second.second = i.e.t;
		}
	if (moved)
		std::make_heap(q_.begin(), q_.end());
}

void
Pending::withdraw(ProcId proc, What what)
{
	auto it = std::find_if(q_.begin(), q_.end(), [&](const Item &i) {
		return i.e.proc == proc && i.e.what == what;
	});
	if (it == q_.end())
		return;
	leaves(it->e);
	q_.erase(it);
	std::make_heap(q_.begin(), q_.end());
}

void
Pending::never_zombie(ProcId proc)
{
	for (Item &i : q_)
		if (i.e.proc == proc && i.e.what == What::Ended)
			i.e.zombie = false;
}

std::optional<Nanos>
Pending::oldest() const
{
	if (told_.empty())
		return std::nullopt;
	return told_.top();
}

void
Pending::leaves(const Event &e)
{
	if (e.what != What::Collected || !e.other)
		return;
	auto it = collecting_.find(*e.other);
	if (it != collecting_.end() && --it->second <= 0)
		collecting_.erase(it);
}

void
Pending::collected_soon(Event &e)
{
	auto c = collected_.find(e.proc);

	if (c == collected_.end())
		return;
	if (e.what == What::Collected) {
		collected_.erase(c);
		return;
	}
	auto [by, t] = c->second;
	if (e.what == What::Ended && e.zombie && by == e.other &&
	    t - e.t <= AT_ONCE)
		e.soon = t - e.t;
}
