// A board, its host and its driver, built from the board options.

#include "serve/session.h"

#include "nebu.h"

#include <cstdio>

namespace vboard::serve {

std::unique_ptr<Session> Session::create(const BoardOptions& options, std::string& error,
                                         const host::TimingProfile& profile)
{
    board::Settings settings;
    settings.card = options.card;
    settings.bare_strings_stalled = options.bare_strings_stalled;
    settings.bare_string1 = options.bare_string1;
    settings.bare_string2 = options.bare_string2;
    settings.card_busy_times = options.card_busy_times;
    settings.card_faults = options.card_faults;
    if (std::string refused = board::check_settings(settings); !refused.empty()) {
        error = refused;
        return nullptr;
    }

    std::unique_ptr<Session> s(new Session);
    s->options_ = options;
    s->board_ = std::make_unique<board::Board>(settings);
    if (!options.card_image.empty() && !s->board_->load_card_image(options.card_image, error))
        return nullptr;
    if (options.firmware_loaded &&
        !s->board_->load_firmware_bytes({fw_bin, fw_size}, error))
        return nullptr;
    s->host_ = std::make_unique<host::Host>(*s->board_, profile);
    s->driver_ = std::make_unique<host::Driver>(*s->host_, options.device);
    Session* self = s.get();
    s->host_->set_observer([self](const host::HostEvent& event) {
        if (event.kind == host::HostEvent::Kind::enumerated)
            ++self->enumerations_;
        if (self->tracer_)
            self->tracer_->host_event(event);
        if (self->listener_)
            self->listener_(event);
    });
    if (options.trace.any() &&
        !(s->tracer_ = trace::Tracer::attach(*s->board_, *s->host_, *s->driver_, options.trace, error)))
        return nullptr;
    return s;
}

bool Session::save_card_image(std::string& error)
{
    if (options_.card_image.empty() || options_.card_image_readonly)
        return true;
    const card::Card* card = board_->socket().card();
    if (!card && (pulled_ = board_->take_pulled_card()))
        card = &*pulled_;
    if (!card || !card->modified())
        return true;
    return card->save_image(options_.card_image, error);
}

bool Session::settle(uint32_t timeout_ms)
{
    return host_->wait_enumerated(timeout_ms);
}

std::string describe(const host::HostEvent& event)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f ms ",
                  static_cast<double>(event.time) / static_cast<double>(usb::clocks_per_ms));
    std::string line = stamp;
    line += host::event_name(event.kind);
    if (!event.detail.empty())
        line += ": " + event.detail;
    return line;
}

}  // namespace vboard::serve
