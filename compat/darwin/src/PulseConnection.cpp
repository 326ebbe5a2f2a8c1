#include "PulseConnection.h"

namespace darwin::pulse {

namespace {

bool contextDead(pa_context* c) {
    pa_context_state_t s = pa_context_get_state(c);
    return s == PA_CONTEXT_FAILED || s == PA_CONTEXT_TERMINATED;
}

void onOperationState(pa_operation*, void* self) {
    static_cast<Connection*>(self)->signal();
}

void onSuccess(pa_context*, int success, void* result) {
    *static_cast<bool*>(result) = success;
}

pa_proplist* clientProperties() {
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Voxlet");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "audio-input-microphone");
    return props;
}

} // namespace

std::unique_ptr<Connection> Connection::open(const char* clientName, int timeoutMs) {
    std::unique_ptr<Connection> c(new Connection);
    c->mLoop = pa_threaded_mainloop_new();
    if (!c->mLoop)
        return nullptr;
    pa_proplist* props = clientProperties();
    c->mContext =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(c->mLoop), clientName, props);
    pa_proplist_free(props);
    if (!c->mContext)
        return nullptr;
    pa_context_set_state_callback(c->mContext, &Connection::onContextState, c.get());
    // No autospawn: a missing server must fail at once, not start one of ours.
    if (pa_context_connect(c->mContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return nullptr;
    if (pa_threaded_mainloop_start(c->mLoop) < 0)
        return nullptr;
    c->mLoopRunning = true;
    {
        Lock lock(*c);
        pa_context* ctx = c->mContext;
        c->waitUntil([ctx] { return pa_context_get_state(ctx) == PA_CONTEXT_READY; }, timeoutMs);
        if (pa_context_get_state(ctx) != PA_CONTEXT_READY)
            return nullptr;
    }
    return c;
}

Connection::~Connection() {
    if (mLoopRunning) {
        {
            Lock lock(*this);
            pa_context_set_state_callback(mContext, nullptr, nullptr);
            pa_context_disconnect(mContext);
        }
        pa_threaded_mainloop_stop(mLoop);
    }
    if (mContext)
        pa_context_unref(mContext);
    if (mLoop)
        pa_threaded_mainloop_free(mLoop);
}

void Connection::onContextState(pa_context* c, void* userdata) {
    auto* self = static_cast<Connection*>(userdata);
    self->mAlive.store(pa_context_get_state(c) == PA_CONTEXT_READY, std::memory_order_release);
    self->signal();
    if (contextDead(c) && self->mOnDown)
        self->mOnDown();
}

bool Connection::waitUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done())
        return true;
    struct Deadline {
        Connection* connection;
        bool expired;
    } deadline{this, false};
    pa_time_event* timer = pa_context_rttime_new(
        mContext, pa_rtclock_now() + pa_usec_t(timeoutMs) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* d) {
            auto* dl = static_cast<Deadline*>(d);
            dl->expired = true;
            dl->connection->signal();
        },
        &deadline);
    if (!timer)
        return false;
    while (!done() && !deadline.expired && !contextDead(mContext))
        pa_threaded_mainloop_wait(mLoop);
    pa_threaded_mainloop_get_api(mLoop)->time_free(timer);
    return done();
}

bool Connection::waitFor(pa_operation* op, int timeoutMs) {
    if (!op)
        return false;
    pa_operation_set_state_callback(op, onOperationState, this);
    waitUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, timeoutMs);
    bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    if (!done)
        pa_operation_cancel(op); // no callback may reach the caller's stack afterwards
    pa_operation_set_state_callback(op, nullptr, nullptr);
    pa_operation_unref(op);
    return done;
}

bool Connection::serverInfo(ServerInfo& out) {
    auto cb = [](pa_context*, const pa_server_info* i, void* d) {
        auto* info = static_cast<ServerInfo*>(d);
        if (!i)
            return;
        info->serverName = i->server_name ? i->server_name : "";
        info->defaultSink = i->default_sink_name ? i->default_sink_name : "";
        info->defaultSource = i->default_source_name ? i->default_source_name : "";
    };
    ServerInfo info;
    if (!waitFor(pa_context_get_server_info(mContext, cb, &info)))
        return false;
    out = std::move(info);
    return true;
}

bool Connection::modules(std::vector<Module>& out) {
    auto cb = [](pa_context*, const pa_module_info* i, int eol, void* d) {
        if (eol || !i)
            return;
        static_cast<std::vector<Module>*>(d)->push_back(
            Module{i->index, i->name ? i->name : "", i->argument ? i->argument : ""});
    };
    std::vector<Module> list;
    if (!waitFor(pa_context_get_module_info_list(mContext, cb, &list)))
        return false;
    out = std::move(list);
    return true;
}

uint32_t Connection::loadModule(const char* name, const std::string& argument) {
    uint32_t index = PA_INVALID_INDEX;
    auto cb = [](pa_context*, uint32_t idx, void* d) { *static_cast<uint32_t*>(d) = idx; };
    if (!waitFor(pa_context_load_module(mContext, name, argument.c_str(), cb, &index)))
        return PA_INVALID_INDEX;
    return index;
}

bool Connection::unloadModule(uint32_t index) {
    bool ok = false;
    return waitFor(pa_context_unload_module(mContext, index, onSuccess, &ok)) && ok;
}

bool Connection::setDefaultSink(const std::string& name) {
    bool ok = false;
    return waitFor(pa_context_set_default_sink(mContext, name.c_str(), onSuccess, &ok)) && ok;
}

bool Connection::setDefaultSource(const std::string& name) {
    bool ok = false;
    return waitFor(pa_context_set_default_source(mContext, name.c_str(), onSuccess, &ok)) && ok;
}

bool Connection::sinks(std::vector<std::string>& out) {
    auto cb = [](pa_context*, const pa_sink_info* i, int eol, void* d) {
        if (eol || !i || !i->name)
            return;
        static_cast<std::vector<std::string>*>(d)->push_back(i->name);
    };
    std::vector<std::string> list;
    if (!waitFor(pa_context_get_sink_info_list(mContext, cb, &list)))
        return false;
    out = std::move(list);
    return true;
}

bool Connection::sources(std::vector<std::string>& out) {
    auto cb = [](pa_context*, const pa_source_info* i, int eol, void* d) {
        if (eol || !i || !i->name)
            return;
        static_cast<std::vector<std::string>*>(d)->push_back(i->name);
    };
    std::vector<std::string> list;
    if (!waitFor(pa_context_get_source_info_list(mContext, cb, &list)))
        return false;
    out = std::move(list);
    return true;
}

std::unique_ptr<PlaybackLink> PlaybackLink::open(const Spec& spec, int timeoutMs) {
    std::unique_ptr<PlaybackLink> link(new PlaybackLink);
    link->mLoop = pa_mainloop_new();
    if (!link->mLoop)
        return nullptr;
    pa_proplist* props = clientProperties();
    link->mContext =
        pa_context_new_with_proplist(pa_mainloop_get_api(link->mLoop), spec.clientName, props);
    pa_proplist_free(props);
    if (!link->mContext ||
        pa_context_connect(link->mContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return nullptr;
    pa_context* ctx = link->mContext;
    if (!link->runUntil([ctx] { return pa_context_get_state(ctx) == PA_CONTEXT_READY; }, timeoutMs))
        return nullptr;
    props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME, spec.streamName);
    link->mStream =
        pa_stream_new_with_proplist(ctx, spec.streamName, &spec.sample, &spec.map, props);
    pa_proplist_free(props);
    if (!link->mStream || pa_stream_connect_playback(link->mStream, spec.sink, &spec.attr,
                                                     spec.flags, nullptr, nullptr) < 0)
        return nullptr;
    pa_stream* stream = link->mStream;
    link->runUntil([stream] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; },
                   timeoutMs);
    return link->ready() ? std::move(link) : nullptr;
}

PlaybackLink::~PlaybackLink() {
    if (mStream) {
        pa_stream_disconnect(mStream);
        pa_stream_unref(mStream);
    }
    if (mContext) {
        pa_context_disconnect(mContext);
        pa_context_unref(mContext);
    }
    if (mLoop)
        pa_mainloop_free(mLoop);
}

void PlaybackLink::run() {
    // Each pass sends what was written and dispatches what arrived; passes go
    // on until one finds nothing to do. Bounded: never a wait, few passes.
    int pass = 0;
    for (; pass < 16 && pa_mainloop_iterate(mLoop, 0, nullptr) > 0; ++pass) {
    }
}

bool PlaybackLink::ready() const {
    return mContext && pa_context_get_state(mContext) == PA_CONTEXT_READY && mStream &&
           pa_stream_get_state(mStream) == PA_STREAM_READY;
}

void PlaybackLink::drain(int timeoutMs) {
    if (!ready())
        return;
    bool done = false;
    pa_operation* op = pa_stream_drain(
        mStream, [](pa_stream*, int, void* d) { *static_cast<bool*>(d) = true; }, &done);
    if (!op)
        return;
    runUntil([&done] { return done; }, timeoutMs);
    if (!done)
        pa_operation_cancel(op); // its callback must not reach this stack later
    pa_operation_unref(op);
}

bool PlaybackLink::runUntil(const std::function<bool()>& done, int timeoutMs) {
    const pa_usec_t deadline = pa_rtclock_now() + pa_usec_t(timeoutMs) * PA_USEC_PER_MSEC;
    while (!done() && !contextDead(mContext)) {
        const pa_usec_t now = pa_rtclock_now();
        if (now >= deadline || pa_mainloop_prepare(mLoop, int(deadline - now)) < 0 ||
            pa_mainloop_poll(mLoop) < 0 || pa_mainloop_dispatch(mLoop) < 0)
            break;
    }
    return done();
}

bool serverAnswers(int timeoutMs) {
    return Connection::open("Voxlet probe", timeoutMs) != nullptr;
}

} // namespace darwin::pulse
