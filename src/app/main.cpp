// Quillaran's entry point.
#include "app/RunApplication.h"

int main(int argc, char** argv) {
    return quill::runApplication(argc, argv, quill::defaultShellParts());
}
