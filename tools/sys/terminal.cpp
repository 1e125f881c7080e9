// SPDX-License-Identifier: BSD-2-Clause
#include "sys/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

int
terminal_width(int fd)
{
	struct winsize ws = {};

	if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
		return ws.ws_col;
	return 78;
}
