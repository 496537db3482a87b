/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * cpuid_probe: the processor's own answers, raw, for the boot test to derive
 * what --sysxml and the driver should say without any of the tool's code.
 *
 *   cpuid_probe leaves  "LEAF SUBLEAF EAX EBX ECX EDX" in hex, one line per
 *                       query: leaves 0, 0x80000000 to 0x80000004, and every
 *                       sub-leaf of the cache leaves 4 and 0x8000001D up to
 *                       the first of type 0 (at most 64)
 *   cpuid_probe apic    "CPU APIC-ID" for each CPU the kernel runs, in CPU-id
 *                       order, the id read by cpuid leaf 1 on that very CPU
 */
#include <sys/param.h>
#include <sys/cpuset.h>

#include <cpuid.h>
#include <stdio.h>
#include <string.h>

static void
leaf(unsigned int number, unsigned int subleaf, unsigned int *eax)
{
	unsigned int a, b, c, d;

	__cpuid_count(number, subleaf, a, b, c, d);
	printf("%x %x %08x %08x %08x %08x\n", number, subleaf, a, b, c, d);
	if (eax != NULL)
		*eax = a;
}

static void
cache_leaf(unsigned int number)
{
	unsigned int subleaf, eax;

	for (subleaf = 0; subleaf < 64; subleaf++) {
		leaf(number, subleaf, &eax);
		if ((eax & 0x1f) == 0)
			break;
	}
}

static int
leaves(void)
{
	unsigned int number;

	leaf(0, 0, NULL);
	for (number = 0x80000000; number <= 0x80000004; number++)
		leaf(number, 0, NULL);
	cache_leaf(4);
	cache_leaf(0x8000001d);
	return (0);
}

/*
 * Binding the thread to one CPU moves it there before the call returns, so
 * the cpuid that follows runs on that CPU.
 */
static int
apic_ids(void)
{
	cpuset_t all, one;
	unsigned int a, b, c, d;
	int cpu;

	if (cpuset_getaffinity(CPU_LEVEL_ROOT, CPU_WHICH_PID, -1, sizeof(all),
	    &all) != 0) {
		perror("cpuset_getaffinity");
		return (1);
	}
	for (cpu = 0; cpu < CPU_SETSIZE; cpu++) {
		if (!CPU_ISSET(cpu, &all))
			continue;
		CPU_ZERO(&one);
		CPU_SET(cpu, &one);
		if (cpuset_setaffinity(CPU_LEVEL_WHICH, CPU_WHICH_TID, -1,
		    sizeof(one), &one) != 0) {
			perror("cpuset_setaffinity");
			return (1);
		}
		__cpuid(1, a, b, c, d);
		printf("%d %u\n", cpu, b >> 24);
	}
	return (0);
}

int
main(int argc, char **argv)
{
	if (argc == 2 && strcmp(argv[1], "leaves") == 0)
		return (leaves());
	if (argc == 2 && strcmp(argv[1], "apic") == 0)
		return (apic_ids());
	fprintf(stderr, "usage: cpuid_probe leaves | apic\n");
	return (2);
}
