// The reference for whole-process timings: a program that only sleeps the
// half second every command sleeps after connecting, and prints a line.
#include <unistd.h>

#include <cstdio>

int main() {
    usleep(500000);
    puts("reference");
    return 0;
}
