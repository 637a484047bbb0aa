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
// ObjectPagesV2 walks listObjectsV2 the same way, from continuation token to token.
// A page is the typed request of its listing, finished or failed. A failed page is the last one
// given. A page that would not take the walk forward (one that goes back to names already
// listed, or says more follow but lists nothing new) fails as a malformed response, so a broken
// server cannot keep a walk going for ever.

#include <algorithm>
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
    // What a page is asked with, and what it comes back as.
    using Args = ListObjectsArgs;
    using Request = QuiloBucketRequest;

    // Asks for the page that args name.
    static void ask(Quilo& client, const Args& args, Callbacks<Request> callbacks) {
        client.listObjects(args.param(), std::move(callbacks));
    }
    // Where the page after `page` starts, or nothing after the last.
    static std::optional<std::string> after(const Request& page) {
        if (page.error() || !page.isTruncated()) {
            return std::nullopt;
        }
        return page.nextMarker();
    }
    // Makes args name the page that starts at position.
    static void startAt(Args& args, std::string position) { args.marker = std::move(position); }
};

// The same walk for ListObjectsV2, from continuation token to continuation token.
struct ObjectV2Listing {
    // What a page is asked with, and what it comes back as.
    using Args = ListObjectsV2Args;
    using Request = QuiloBucketRequest;

    // Asks for the page that args name.
    static void ask(Quilo& client, const Args& args, Callbacks<Request> callbacks) {
        client.listObjectsV2(args.param(), std::move(callbacks));
    }
    // Where a page starts: its token, and the last name listed before it, which the page must
    // go on above. Tokens carry no order; the names do.
    struct Position {
        std::string token;       // the continuation token it is asked with
        std::string listedUpTo;  // the greatest key or common prefix listed so far
    };
    // Where the page after `page` starts, or nothing after the last.
    static std::optional<Position> after(const Request& page) {
        if (page.error() || !page.isTruncated()) {
            return std::nullopt;
        }
        Position next{page.nextContinuationToken(), page.listedUpTo()};
        if (!page.objects().empty()) {
            next.listedUpTo = page.objects().back().key;
        }
        if (!page.commonPrefixes().empty()) {
            next.listedUpTo = std::max(next.listedUpTo, page.commonPrefixes().back());
        }
        return next;
    }
    // Makes args name the page that position names.
    static void startAt(Args& args, Position position) {
        args.continuationToken = std::move(position.token);
        args.listedUpTo = std::move(position.listedUpTo);
    }
};

// The pages of a Listing. Ask for one page at a time: call next() again only once the page before
// has come. The client must outlive the walk.
template <class Listing>
class Pages {
  public:
    // A page: the typed request of its listing.
    using Request = typename Listing::Request;
    using Page = std::shared_ptr<Request>;

    // The walk from the page that args name.
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
        // What an input iterator names.
        using value_type = Page;
        using difference_type = std::ptrdiff_t;

        // At the end, or at the first page of pages (which it waits for).
        iterator() = default;
        explicit iterator(Pages* pages) : pages_(pages) { ++*this; }
        // The page at hand.
        const Page& operator*() const { return page_; }
        // Waits for the next page; past the last, the iterator is at the end.
        iterator& operator++() {
            page_ = pages_->next(use_future).get();
            return *this;
        }
        // As ++iterator; and whether the walk is over.
        void operator++(int) { ++*this; }
        bool operator==(std::default_sentinel_t) const { return !page_; }

      private:
        Pages* pages_ = nullptr;
        Page page_;
    };
    // The range: begin() waits for the first page.
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

using ObjectPages = Pages<ObjectListing>;      // every page of listObjects
using ObjectPagesV2 = Pages<ObjectV2Listing>;  // every page of listObjectsV2

}  // namespace quilo
