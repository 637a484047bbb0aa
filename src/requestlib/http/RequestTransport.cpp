#include "quilo/requestlib/http/RequestTransport.hpp"

#include "quilo/requestlib/http/HTTPRequest.hpp"
#include "requestlib/http/Engine.hpp"

namespace quilo {

void RequestTransport::finish(const std::shared_ptr<HTTPRequest>& request, int status,
                              HeaderMap headers, std::string body) {
    post([request, status, headers = std::move(headers), body = std::move(body)]() mutable {
        if (request->state() != HTTPRequest::State::running)
            return;
        request->recordAnswer(status, std::move(headers), std::move(body));
        request->end(request->judgeAnswer({}));
    });
}

void RequestTransport::fail(const std::shared_ptr<HTTPRequest>& request, Error error) {
    post([request, error = std::move(error)]() mutable {
        if (request->state() != HTTPRequest::State::running)
            return;
        request->end(std::move(error));
    });
}

void RequestTransport::post(std::function<void()> task) {
    detail::Engine::instance().post(std::move(task));
}

}  // namespace quilo
