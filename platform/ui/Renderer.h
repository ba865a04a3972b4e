// The renderer: draws the key window's UI model for a person in a real browser. It serves a page
// (plain HTML, CSS and JavaScript from resources/renderer/) on loopback only, pushes the window's
// snapshot (the "ferrowen-ui" format) over a WebSocket whenever it changes, and takes back the
// probe's own JSON events, so a person and a test drive the same code. Nothing in a screen knows
// it is drawn.
//
// Only the local user may drive it: every request carries a random token (the "t" query
// parameter; printed at start inside the address to open), the Host header must name the loopback
// address and port, an Origin header (when sent) must be the page's own, and the listening socket
// is bound to 127.0.0.1 alone.
//
// Paths served (all with ?t=TOKEN):
//   /                      the page            /renderer.js, /renderer.css   its code and style
//   /ws                    WebSocket: state pushed, events taken
//   /snapshot              the window's snapshot now (JSON)
//   /img/NAME              a picture the model names: a registered image, else a file of the
//                          resources folder, else (an absolute name) a file inside the data root
//   /web/ID/REV?k=KEY      the page a web view shows (its own key, given to the page only)
//   /media/N               the file of a movie or sound the application plays
//
// The network side runs on a thread of its own (Boost.Beast on a Boost.Asio io_context); all that
// touches the model hops to the main run loop, where the model lives.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform::ui {

struct RendererOptions {
  int port = 0;          // 0: any free port
  std::string token;     // empty: a random one
  std::string resources; // the resources folder (empty: Paths::resources())
  std::string dataRoot;  // the data root (empty: Paths::home())
  // How often the model is compared with what the page shows, in milliseconds.
  int refreshMilliseconds = 100;
};

class Renderer {
public:
  // Starts serving; main thread. Null (with the reason in *error) when the port cannot be had or
  // the page's files are missing.
  static std::shared_ptr<Renderer> start(RendererOptions options, std::string *error = nullptr);
  // The renderer started last and still running, else null (main thread).
  static std::shared_ptr<Renderer> current();
  virtual ~Renderer() = default;

  virtual int port() const = 0;
  virtual const std::string &token() const = 0;
  // The address to open: http://127.0.0.1:PORT/?t=TOKEN
  virtual std::string address() const = 0;
  // Stops serving and closes every connection; also done on destruction.
  virtual void stop() = 0;

  // `away` runs on the main thread each time a page that showed the application goes out of the
  // person's sight: hidden (another tab, a minimised window), unfocused, or closed (its
  // connection ending counts too, for a page that could not say so).
  virtual void setPageAway(std::function<void()> away) = 0;

  // Plays a movie or sound file of the data root in the page (a video or audio element); `ended`
  // runs on the main thread when playback ends or the person closes it. False when the file is
  // not inside the data root or no page is open.
  virtual bool playMedia(const std::string &path, std::function<void()> ended) = 0;
};

// The program's entry: unless FERROWEN_RENDERER is "0", starts the renderer on
// FERROWEN_RENDERER_PORT (default: any free port) and prints "Open <address>" on standard
// output. Null when off or when it could not start (the reason goes to standard error).
std::shared_ptr<Renderer> startRenderer();

} // namespace platform::ui
