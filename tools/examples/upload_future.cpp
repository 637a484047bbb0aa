// Uploads one file and prints its ETag, waiting on a std::future: README's first example, with
// use_future in place of the callables.
//
//   upload_future FILE BUCKET KEY
//
// The endpoint and keys come from AWS_ENDPOINT_URL, AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY.
#include <iostream>

#include <quilo/quilo.hpp>

#include "Environment.hpp"

int main(int argc, char** argv) {
    if (argc != 4 || !example::configureFromEnvironment()) {
        std::cerr << "usage: upload_future FILE BUCKET KEY (with AWS_ENDPOINT_URL, "
                     "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY set)\n";
        return 2;
    }
    const quilo::UploadObjectArgs args{.filePath = argv[1], .bucket = argv[2], .key = argv[3]};
    const auto request =
        quilo::Quilo::sharedInstance()->uploadObject(args, quilo::use_future).get();
    if (request->error()) {
        std::cerr << "upload_future: " << request->error()->description() << '\n';
        return 1;
    }
    std::cout << "ETag " << request->etag() << '\n';
}
