#include "common/console.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "common/printable.h"
#include "common/unicode.h"

namespace velko {

namespace {

struct Style {
  std::string_view name;
  std::string_view ansi;
};

constexpr std::array<Style, 6> kStyles = {{
    {"green", "\x1b[32m"},
    {"red", "\x1b[31m"},
    {"yellow", "\x1b[33m"},
    {"dim", "\x1b[2m"},
    {"bold", "\x1b[1m"},
    {"cyan", "\x1b[36m"},
}};

const Style* find_style(std::string_view name) {
  for (const auto& style : kStyles) {
    if (style.name == name) return &style;
  }
  return nullptr;
}

constexpr std::array<std::string_view, 10> kSpinner = {"⠋", "⠙", "⠹", "⠸", "⠼",
                                                       "⠴", "⠦", "⠧", "⠇", "⠏"};

}  // namespace

std::string cell_text(std::string_view text) { return escape_markup(printable(text)); }

std::string escape_markup(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    if (ch == '[' || ch == '\\') out.push_back('\\');
    out.push_back(ch);
  }
  return out;
}

std::string render_markup(std::string_view markup, bool color) {
  std::string out;
  out.reserve(markup.size());
  std::vector<const Style*> open;
  auto restyle = [&] {
    out += "\x1b[0m";
    for (const Style* style : open) out += style->ansi;
  };
  for (std::size_t i = 0; i < markup.size(); ++i) {
    char ch = markup[i];
    if (ch == '\\' && i + 1 < markup.size() && (markup[i + 1] == '[' || markup[i + 1] == '\\')) {
      out.push_back(markup[++i]);
      continue;
    }
    if (ch == '[') {
      auto close = markup.find(']', i);
      if (close != std::string_view::npos) {
        std::string_view tag = markup.substr(i + 1, close - i - 1);
        bool closing = !tag.empty() && tag[0] == '/';
        std::string_view name = closing ? tag.substr(1) : tag;
        const Style* style = name.empty() ? nullptr : find_style(name);
        if (closing && (style || name.empty())) {
          auto it = std::find(open.rbegin(), open.rend(), style);
          if (name.empty() && !open.empty()) it = open.rbegin();
          if (it != open.rend()) {
            open.erase(std::next(it).base());
            if (color) restyle();
            i = close;
            continue;
          }
          if (name.empty()) {  // a stray [/] closes nothing
            i = close;
            continue;
          }
          i = close;
          continue;
        }
        if (!closing && style) {
          open.push_back(style);
          if (color) out += style->ansi;
          i = close;
          continue;
        }
      }
    }
    out.push_back(ch);
  }
  if (color && !open.empty()) out += "\x1b[0m";
  return out;
}

std::string render_table(const Table& given, bool color) {
  // A cell is shown on one line, with its control characters escaped: a newline in a name
  // must not forge a line of the table, nor an escape code restyle it.
  Table table{printable_name(given.title), {}, {}};
  for (const auto& column : given.columns) table.columns.push_back(printable_name(column));
  for (const auto& row : given.rows) {
    std::vector<std::string>& cells = table.rows.emplace_back();
    for (const auto& cell : row) cells.push_back(printable_name(cell));
  }
  std::size_t n = table.columns.size();
  std::vector<std::size_t> widths(n, 0);
  for (std::size_t c = 0; c < n; ++c) {
    widths[c] = unicode::display_width(render_markup(escape_markup(table.columns[c]), false));
  }
  for (const auto& row : table.rows) {
    for (std::size_t c = 0; c < n && c < row.size(); ++c) {
      widths[c] = std::max(widths[c], unicode::display_width(render_markup(row[c], false)));
    }
  }
  auto rule = [&](std::string_view left, std::string_view mid, std::string_view right,
                  std::string_view line) {
    std::string out(left);
    for (std::size_t c = 0; c < n; ++c) {
      for (std::size_t k = 0; k < widths[c] + 2; ++k) out += line;
      out += (c + 1 < n) ? mid : right;
    }
    return out + "\n";
  };
  auto cells = [&](const std::vector<std::string>& row, std::string_view bar, bool header) {
    std::string out(bar);
    for (std::size_t c = 0; c < n; ++c) {
      std::string cell = c < row.size() ? row[c] : std::string();
      if (header) cell = "[bold]" + escape_markup(cell) + "[/bold]";
      std::string shown = render_markup(cell, color);
      std::size_t width = unicode::display_width(render_markup(cell, false));
      if (width < widths[c]) shown.append(widths[c] - width, ' ');
      out += " " + shown + " ";
      out += bar;
    }
    return out + "\n";
  };
  std::string out;
  if (!table.title.empty()) out += render_markup(table.title, color) + "\n";
  out += rule("┏", "┳", "┓", "━");
  out += cells(table.columns, "┃", true);
  out += rule("┡", "╇", "┩", "━");
  for (const auto& row : table.rows) out += cells(row, "│", false);
  out += rule("└", "┴", "┘", "─");
  return out;
}

struct Console::Impl {
  std::mutex mutex;
  std::condition_variable wake;
  std::FILE* stream = stdout;
  bool color = false;
  // Whether styles may be used at all (the user's choice).
  bool allow_color = true;
  bool terminal = false;
  Sink sink;
  std::function<void(const std::string&)> observer;
  std::vector<std::pair<std::size_t, std::string>> statuses;
  std::size_t next_id = 1;
  std::size_t frame = 0;
  bool line_shown = false;
  bool stopping = false;
  std::thread spinner;

  void detect(bool to_stderr, bool allow_color) {
    stream = to_stderr ? stderr : stdout;
    terminal = ::isatty(::fileno(stream)) == 1;
    color = terminal && allow_color;
  }

  void write(std::string_view text) {
    if (sink) {
      sink(text);
      return;
    }
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
  }

  // Draws the top status line; the mutex is held.
  void draw_status() {
    if (!terminal || sink || statuses.empty()) return;
    std::string line = "\r\x1b[2K";
    line += color ? "\x1b[32m" : "";
    line += kSpinner[frame % kSpinner.size()];
    line += color ? "\x1b[0m " : " ";
    line += render_markup(statuses.back().second, color);
    write(line);
    line_shown = true;
  }

  void clear_status() {
    if (line_shown) {
      write("\r\x1b[2K");
      line_shown = false;
    }
  }

  void notify() {
    if (observer) observer(statuses.empty() ? std::string() : statuses.back().second);
  }

  void start_spinner() {
    if (!terminal || sink || spinner.joinable()) return;
    stopping = false;
    spinner = std::thread([this] {
      std::unique_lock lock(mutex);
      while (!stopping) {
        wake.wait_for(lock, std::chrono::milliseconds(80));
        if (stopping) break;
        ++frame;
        draw_status();
      }
    });
  }

  void stop_spinner(std::unique_lock<std::mutex>& lock) {
    if (!spinner.joinable()) return;
    stopping = true;
    wake.notify_all();
    lock.unlock();
    spinner.join();
    lock.lock();
  }
};

Console::Console(bool to_stderr, bool color) : impl_(std::make_unique<Impl>()) {
  impl_->allow_color = color;
  impl_->detect(to_stderr, color);
}

Console::~Console() {
  std::unique_lock lock(impl_->mutex);
  impl_->stop_spinner(lock);
  impl_->clear_status();
}

void Console::set_sink(Sink sink) {
  std::unique_lock lock(impl_->mutex);
  impl_->stop_spinner(lock);
  impl_->clear_status();
  impl_->sink = std::move(sink);
  impl_->color = false;
}

void Console::set_status_observer(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(impl_->mutex);
  impl_->observer = std::move(observer);
}

void Console::reset() {
  std::unique_lock lock(impl_->mutex);
  impl_->sink = nullptr;
  impl_->observer = nullptr;
  impl_->detect(impl_->stream == stderr, impl_->allow_color);
}

void Console::print(std::string_view markup) {
  std::lock_guard lock(impl_->mutex);
  impl_->clear_status();
  impl_->write(render_markup(markup, impl_->color) + "\n");
  impl_->draw_status();
}

void Console::print_table(const Table& table) {
  std::lock_guard lock(impl_->mutex);
  impl_->clear_status();
  impl_->write(render_table(table, impl_->color));
  impl_->draw_status();
}

Console::Status Console::status(std::string text) {
  std::lock_guard lock(impl_->mutex);
  std::size_t id = impl_->next_id++;
  impl_->statuses.emplace_back(id, std::move(text));
  impl_->notify();
  impl_->draw_status();
  impl_->start_spinner();
  return Status(this, id);
}

Console::Status::Status(Status&& other) noexcept : console_(other.console_), id_(other.id_) {
  other.console_ = nullptr;
}

void Console::Status::update(std::string text) {
  if (!console_) return;
  Impl& impl = *console_->impl_;
  std::lock_guard lock(impl.mutex);
  for (auto& [id, shown] : impl.statuses) {
    if (id == id_) shown = std::move(text);
  }
  impl.notify();
  impl.draw_status();
}

Console::Status::~Status() {
  if (!console_) return;
  Impl& impl = *console_->impl_;
  std::unique_lock lock(impl.mutex);
  std::erase_if(impl.statuses, [this](const auto& entry) { return entry.first == id_; });
  impl.notify();
  if (impl.statuses.empty()) {
    impl.stop_spinner(lock);
    impl.clear_status();
  } else {
    impl.draw_status();
  }
}

}  // namespace velko
