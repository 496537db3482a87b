/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * set_hostname NAME: sets the host name of the test system, which has no
 * hostname(1), so that the XML report's Hostname comes from a name the test
 * chose (with characters that need escaping) rather than an empty one.
 */
#include <string.h>
#include <unistd.h>

int
main(int argc, char **argv)
{
	if (argc != 2)
		return (2);
	return (sethostname(argv[1], (int)strlen(argv[1])) == 0 ? 0 : 1);
}
