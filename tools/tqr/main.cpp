#include <cstdio>

int main() {
    printf("usage: tqr coordinator|send|receive|demo\n");
    return 1;
}
