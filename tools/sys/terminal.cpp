// SPDX-License-Identifier: BSD-2-Clause
#include "sys/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

std::optional<int>
line_columns(int fd)
{
	const char *env = getenv("COLUMNS");
	struct winsize ws = {};

	if (env != nullptr && *env != '\0' &&
	    strspn(env, "0123456789") == strlen(env) && strlen(env) <= 4) {
		int n = (int)strtol(env, nullptr, 10);
		if (n > 0)
			return n;
	}
	if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
		return ws.ws_col;
	return std::nullopt;
}
