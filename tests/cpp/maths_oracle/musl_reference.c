/*
 * Reference side of the maths oracle: built with musl-gcc -static so sin, cos, exp,
 * log and pow come from musl's libc.a. Usage: musl_reference FUNCTION < in > out,
 * where `in` holds native-endian doubles (pairs x, y for pow) and `out` receives one
 * double per input (pair). sincos.sin and sincos.cos are the two halves of musl's sincos.
 */
#define _GNU_SOURCE
#include <math.h>
#include <stdio.h>
#include <string.h>

#define CHUNK 8192

int main(int argc, char **argv)
{
	static double in[2 * CHUNK], out[CHUNK];
	int f;
	size_t n, i, arity;

	if (argc != 2) {
		fprintf(stderr, "usage: %s sin|cos|exp|log|pow|sincos.sin|sincos.cos\n", argv[0]);
		return 2;
	}
	if (!strcmp(argv[1], "sin")) f = 0;
	else if (!strcmp(argv[1], "cos")) f = 1;
	else if (!strcmp(argv[1], "exp")) f = 2;
	else if (!strcmp(argv[1], "log")) f = 3;
	else if (!strcmp(argv[1], "pow")) f = 4;
	else if (!strcmp(argv[1], "sincos.sin")) f = 5;
	else if (!strcmp(argv[1], "sincos.cos")) f = 6;
	else {
		fprintf(stderr, "unknown function %s\n", argv[1]);
		return 2;
	}
	arity = f == 4 ? 2 : 1;

	while ((n = fread(in, arity * sizeof(double), CHUNK, stdin)) > 0) {
		for (i = 0; i < n; i++) {
			switch (f) {
			case 0: out[i] = sin(in[i]); break;
			case 1: out[i] = cos(in[i]); break;
			case 2: out[i] = exp(in[i]); break;
			case 3: out[i] = log(in[i]); break;
			case 4: out[i] = pow(in[2 * i], in[2 * i + 1]); break;
			default: {
				double s, c;
				sincos(in[i], &s, &c);
				out[i] = f == 5 ? s : c;
				break;
			}
			}
		}
		if (fwrite(out, sizeof(double), n, stdout) != n) {
			perror("write");
			return 1;
		}
	}
	if (ferror(stdin)) {
		perror("read");
		return 1;
	}
	return fflush(stdout) ? 1 : 0;
}
