#include <ku/kuBase.h>

#include <cstdio>

int main() {
    if (kuBase::initializeClass() != KU_SUCCESS) {
        std::fprintf(stderr, "consumer: kuBase::initializeClass failed\n");
        return 1;
    }
    return kuBase::shutdownClass() == KU_SUCCESS ? 0 : 1;
}
