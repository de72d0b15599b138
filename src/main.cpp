#include "cli/driver.hpp"

int main(int argc, char** argv) {
    return kestrom::run_main(argc, argv);
}
