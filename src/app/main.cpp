// Quillaran's entry point. The application shell is not built yet: this only says so.
#include <cstdio>

int main() {
    std::fprintf(stderr, "quillaran: the application window is not built yet\n");
    return 0;
}
