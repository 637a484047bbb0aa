// quilo: buckets and objects of S3-compatible storage from the command line.
#include "Cli.hpp"

int main(int argc, char** argv) {
    return quilo::cli::run(argc, argv);
}
