#pragma once

// Every page of a listing, one request at a time, holding no more than the page at hand:
//
//     for (const auto& page : quilo::ObjectPages(client, {.bucket = "photos"})) {   // blocks
//         if (page->error()) { ... break; }
//         for (const auto& object : page->objects()) ...
//     }
//
//     quilo::ObjectPages pages(client, {.bucket = "photos", .prefix = "2024/"});
//     while (auto page = co_await pages.next(quilo::use_awaitable)) { ... }
//
// A page is the typed request of its listing, finished or failed. A failed page is the last one
// given. A page that says more follow but names nowhere to go on from is the last one too; its
// isTruncated() stays true.

#include <cstddef>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "quilo/Client.hpp"

namespace quilo {

// How the listing of objects goes from page to page. Another listing walks the same way with
// a Listing of its own: its Args and Request, how to ask for a page, and where the next starts.
struct ObjectListing {
    using Args = ListObjectsArgs;
    using Request = QuiloBucketRequest;

    static void ask(Quilo& client, const Args& args, Callbacks<Request> callbacks) {
        client.listObjects(args.param(), std::move(callbacks));
    }
    // Where the page after `page` starts, or nothing after the last. Keys come in ascending
    // order, so a marker that does not move forward would only ask for the same page again.
    static std::optional<std::string> after(const Request& page) {
        if (page.error() || !page.isTruncated() || page.nextMarker() <= page.marker()) {
            return std::nullopt;
        }
        return page.nextMarker();
    }
    static void startAt(Args& args, std::string position) { args.marker = std::move(position); }
};

// The pages of a Listing. Ask for one page at a time: call next() again only once the page before
// has come. The client must outlive the walk.
template <class Listing>
class Pages {
  public:
    using Request = typename Listing::Request;
    using Page = std::shared_ptr<Request>;

    Pages(Quilo& client, typename Listing::Args args)
        : client_(&client), cursor_(std::make_shared<Cursor>(std::move(args))) {}

    // The next page through any token (as an operation's result), or nullptr after the last.
    template <detail::Token How>
    auto next(How how) {
        std::optional<typename Listing::Args> args;
        {
            std::lock_guard lock(cursor_->mutex);
            if (!cursor_->done) {
                args = cursor_->args;
            }
        }
        if (!args) {
            return detail::completed<Request>(how, Page{});
        }
        return detail::complete<Request, Callbacks<Request>>(
            std::move(how), [&](Callbacks<Request> callbacks) {
                auto move = [cursor = cursor_](const Callback<Request>& deliver) {
                    return [cursor, deliver](const Page& page) {
                        cursor->advance(*page);
                        deliver(page);
                    };
                };
                callbacks.finished = move(callbacks.finished);
                callbacks.failed = move(callbacks.failed);
                Listing::ask(*client_, *args, std::move(callbacks));
            });
    }

    // The pages as a range, each waited for in turn on the caller's thread.
    class iterator {
      public:
        using value_type = Page;
        using difference_type = std::ptrdiff_t;

        iterator() = default;
        explicit iterator(Pages* pages) : pages_(pages) { ++*this; }
        const Page& operator*() const { return page_; }
        iterator& operator++() {
            page_ = pages_->next(use_future).get();
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(std::default_sentinel_t) const { return !page_; }

      private:
        Pages* pages_ = nullptr;
        Page page_;
    };
    iterator begin() { return iterator(this); }
    std::default_sentinel_t end() const { return {}; }

  private:
    // Where the walk stands, written when a page arrives on the network thread.
    struct Cursor {
        explicit Cursor(typename Listing::Args start) : args(std::move(start)) {}
        void advance(const Request& page) {
            auto from = Listing::after(page);
            std::lock_guard lock(mutex);
            done = !from;
            if (from) {
                Listing::startAt(args, std::move(*from));
            }
        }

        std::mutex mutex;
        typename Listing::Args args;
        bool done = false;
    };

    Quilo* client_;
    std::shared_ptr<Cursor> cursor_;
};

using ObjectPages = Pages<ObjectListing>;

}  // namespace quilo
