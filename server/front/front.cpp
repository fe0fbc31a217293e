#include "front.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "answer_buffer.h"
#include "platform/tick.h"

namespace ferro {
namespace {

enum class AcceptFailure {
  kNext,      // a connection that failed before it was taken, or a signal: go on
  kShortage,  // out of descriptors or memory
  kBroken,    // the listener itself
};

AcceptFailure ClassifyAcceptFailure(int err) {
#ifdef _WIN32
  if (err == WSAEINTR || err == WSAECONNRESET) return AcceptFailure::kNext;
  if (err == WSAEMFILE || err == WSAENOBUFS) return AcceptFailure::kShortage;
#else
  if (err == EINTR || err == ECONNABORTED || err == EPROTO || err == EPERM) {
    return AcceptFailure::kNext;
  }
  if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
    return AcceptFailure::kShortage;
  }
#endif
  return AcceptFailure::kBroken;
}

}  // namespace

Front::Front(SocketHandle listener, RequestHandler& handler, FrontLimits limits)
    : listener_(listener), handler_(handler), limits_(limits) {
  SetNonBlocking(listener_, true);
  if (!wake_.Open()) {
    std::fprintf(stderr, "front: no wake-up pipe: %s\n",
                 SocketErrorText(LastSocketError()).c_str());
    std::exit(-1);
  }
  handler_.SetResumer([this](uint64_t id) { PostResume(id); });
  FrontAnswerBuffers().SetBudget(limits_.answer_budget);
}

Front::~Front() { handler_.SetResumer(nullptr); }

void Front::PostResume(uint64_t id) {
  {
    std::lock_guard lock(resumed_lock_);
    resumed_.push_back(id);
  }
  wake_.Signal();
}

void Front::TakeResumed() {
  wake_.Drain();
  std::vector<uint64_t> ids;
  {
    std::lock_guard lock(resumed_lock_);
    ids.swap(resumed_);
  }
  for (uint64_t id : ids) {
    for (const auto& c : connections_) {
      if (c->id() == id && c->state() == Connection::State::kWaiting) {
        c->Resume();
        ready_.push_back(c.get());
      }
    }
  }
}

void Front::Run() {
  for (;;) RunOnce(1000);
}

int Front::PollTimeout(uint32_t now, int max_wait_ms) const {
  if (!ready_.empty()) return 0;
  int wait = max_wait_ms;
  auto until = [&](uint32_t deadline) {
    const auto left = static_cast<int32_t>(deadline - now);
    wait = std::min(wait, std::max(left, 0));
  };
  for (const auto& c : connections_) {
    if (c->Events() != 0) until(c->Deadline());
  }
  if (accept_paused_) until(accept_resume_);
  return wait;
}

void Front::RunOnce(int max_wait_ms) {
  // Kept between rounds, so that a round takes no memory.
  std::vector<pollfd>& fds = poll_fds_;
  std::vector<Connection*>& owners = poll_owners_;
  fds.clear();
  owners.clear();
  uint32_t now = GetTick();
  if (accept_paused_ && TickReached(now, accept_resume_)) accept_paused_ = false;
  if (!accept_paused_) {
    fds.push_back({listener_, POLLIN, 0});
    owners.push_back(nullptr);
  }
  const size_t wake_index = fds.size();
  fds.push_back({wake_.ReadEnd(), POLLIN, 0});
  owners.push_back(nullptr);
  for (const auto& c : connections_) {
    if (const short events = c->Events(); events != 0) {
      fds.push_back({c->fd(), events, 0});
      owners.push_back(c.get());
    }
  }
  const int n = PollSockets(fds.data(), fds.size(), PollTimeout(now, max_wait_ms));
  now = GetTick();
  if (n > 0) {
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Connection* c = owners[i];
      if (i == wake_index) {
        TakeResumed();
        continue;
      }
      if (c == nullptr) {
        Accept(now);
        continue;
      }
      const Connection::State before = c->state();
      if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
        if (c->Events() & POLLIN) Read(*c, now);
      }
      if (fds[i].revents & (POLLOUT | POLLERR | POLLHUP)) {
        if (c->Events() & POLLOUT) c->OnWritable(now);
      }
      if (before != Connection::State::kReady && c->state() == Connection::State::kReady) {
        ready_.push_back(c);
      }
    }
  }
  for (const auto& c : connections_) {
    if (c->Events() != 0 && TickReached(now, c->Deadline())) c->OnDeadline(now);
  }
  ServeNext(GetTick());
  FrontAnswerBuffers().ReleaseIdle(GetTick());
  connections_.remove_if([](const auto& c) { return c->state() == Connection::State::kClosed; });
}

void Front::Read(Connection& c, uint32_t now) {
  c.OnReadable(now);
  const bool judged = c.HeaderDone() || c.state() == Connection::State::kReady;
  if (!judged) return;
  if (!c.loopback() && c.request().method == "GET" && c.request().has_body) {
    // A GET has no use for a body, and a host on the network must not make
    // the server hold one.
    c.Refuse("413 Request Entity Too Large", now);
  } else if (!handler_.WantsBody(c)) {
    c.EndAtHeader();
  } else {
    if (!c.sink_asked()) c.StreamBody(handler_.BodySinkFor(c), now);
    c.AcceptBody();
  }
}

void Front::ServeNext(uint32_t now) {
  if (ready_.empty()) return;
  Connection* c = ready_.front();
  ready_.pop_front();
  if (c->state() != Connection::State::kReady) return;
  std::string answer = handler_.Serve(*c);
  if (c->state() == Connection::State::kWaiting) return;  // answered once its work is done
  if (answer.empty() && !c->streamed()) {
    c->Drop();
  } else {
    c->Answer(std::move(answer), now);
  }
}

void Front::Accept(uint32_t now) {
  for (;;) {
    sockaddr_in peer{};
    const SocketHandle fd = AcceptSocket(listener_, &peer, true);
    if (!IsValidSocket(fd)) {
      const int err = LastSocketError();
      if (IsWouldBlock(err)) return;
      const AcceptFailure failure = ClassifyAcceptFailure(err);
      if (failure == AcceptFailure::kNext) continue;
      if (failure == AcceptFailure::kBroken) {
        std::fprintf(stderr, "accept failed: %s\n", SocketErrorText(err).c_str());
        std::exit(-1);  // the listener itself is broken
      }
      // Out of descriptors or memory: the waiting clients stay in the
      // backlog; try again shortly instead of spinning or giving up.
      if (!accept_failing_) {  // once per shortage, not every pause
        std::fprintf(stderr, "accept failed: %s; retrying every %u ms\n",
                     SocketErrorText(err).c_str(), limits_.accept_pause_ms);
        std::fflush(stderr);
      }
      accept_failing_ = true;
      accept_paused_ = true;
      accept_resume_ = now + limits_.accept_pause_ms;
      return;
    }
    accept_failing_ = false;
    if (!MakeRoom(peer)) {
      CloseSocket(fd);  // every slot it may take holds a request being served or answered
      continue;
    }
    Connection& c =
        *connections_.emplace_back(std::make_unique<Connection>(fd, peer, now, limits_.connection));
    // A client usually sends its request right behind its connection: read
    // it now rather than a round later.
    Read(c, now);
    if (c.state() == Connection::State::kReady) ready_.push_back(&c);
  }
}

bool Front::MakeRoom(const sockaddr_in& peer) {
  const bool local = (ntohl(peer.sin_addr.s_addr) >> 24) == 127;
  if (!local) {
    const auto same_host = [&peer](const Connection& c) {
      return c.peer().sin_addr.s_addr == peer.sin_addr.s_addr;
    };
    const auto remote = [](const Connection& c) { return !c.loopback(); };
    const size_t remote_slots =
        limits_.max_connections - std::min(limits_.loopback_slots, limits_.max_connections);
    if (!Below(same_host, limits_.max_per_host) || !Below(remote, remote_slots)) return false;
  }
  return Below([](const Connection&) { return true; }, limits_.max_connections);
}

template <typename Which>
bool Front::Below(Which which, size_t bound) {
  const auto count = [&] {
    return static_cast<size_t>(std::count_if(
        connections_.begin(), connections_.end(),
        [&](const auto& c) { return c->state() != Connection::State::kClosed && which(*c); }));
  };
  if (count() < bound) return true;
  DropOldestIdle(which);
  return count() < bound;
}

template <typename Which>
void Front::DropOldestIdle(Which which) {
  Connection* oldest = nullptr;
  for (const auto& c : connections_) {
    const bool idle =
        c->state() == Connection::State::kReading || c->state() == Connection::State::kLingering;
    if (idle && which(*c) &&
        (oldest == nullptr ||
         static_cast<int32_t>(c->last_activity() - oldest->last_activity()) < 0)) {
      oldest = c.get();
    }
  }
  // Closed now, removed at the end of the round (the round may still hold it).
  if (oldest != nullptr) oldest->Drop();
}

size_t Front::OpenCount() const {
  return static_cast<size_t>(
      std::count_if(connections_.begin(), connections_.end(),
                    [](const auto& c) { return c->state() != Connection::State::kClosed; }));
}

}  // namespace ferro
