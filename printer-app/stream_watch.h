// PWG and Apple raster are read by PAPPL straight from the client's connection while the
// printer is held for the job. A watch over those connections makes sure that neither a
// client that stops sending nor a cancelled or refused job keeps the printer: when a streamed
// document makes no progress for STREAM_STALL_SECONDS, or its job is cancelled, or the
// application refuses its page, the server stops reading from the client (the rest of the
// request reads as its end), so PAPPL ends the job and takes the next one.
#pragma once

#include <cups/raster.h>
#include <pappl/pappl.h>

// A stalled client is cut after this long without a line of raster (by default: the server's
// stall-timeout option), so an honest job waiting behind it starts within a minute; a client
// that sends its lines at all (a line at 720 dpi is a few kilobytes) is far faster than this.
const int STREAM_STALL_SECONDS = 30;

// Starts the thread that watches the streams of the system's printers (and wakes the server
// when it is told to shut down: network.h), cutting streams stalled for stall_seconds.
bool start_stream_watch(pappl_system_t *system, int stall_seconds);

// On the client's thread: PAPPL opens a raster stream on the client's connection, and closes
// it once the job is over.
void watch_stream(http_t *connection, const void *stream);
void unwatch_stream(const void *stream);
// The streamed document on this thread is the job's; it made progress; the application
// refuses it (the rest is not read).
void stream_job(pappl_job_t *job);
void stream_progress();
void stream_refused();

// The page header the client sent last on this thread, as it sent it (PAPPL hands the
// callbacks its own header for pages of fewer bits than the printer's).
void stream_page_header(const cups_page_header2_t &header);
const cups_page_header2_t &stream_client_header();
