// SPDX-License-Identifier: BSD-2-Clause
#include "core/scan.h"

size_t
zombie_count(const Scan &scan)
{
	size_t n = 0;

	for (const ScanParent &p : scan.parents)
		n += p.zombies.size();
	return n;
}
