// What the session publishes for the monitor: run progress from the run's
// observer (at most ten times a second), device state from the panel timer.
// Every call returns at once while no monitor is on.
#pragma once

#include <cstdint>
#include <string>

#include "run_config.h"

void monitor_feed_run_started(const RunConfig& c);
void monitor_feed_position(const POSREC& p);
void monitor_feed_status(const std::string& text);
void monitor_feed_event(std::uint32_t nev);     // one read-out
void monitor_feed_progress(const RunReport& r);  // counts after it or a status change
void monitor_feed_finished(const RunReport& r);
// On the event loop: bias, board and crate links, free disk.
void monitor_feed_tick();
