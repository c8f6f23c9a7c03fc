// The console: styled lines with inline markup tags, a transient spinner status line, and
// titled tables.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velko {

// A table with headed columns and an optional title shown above it, aligned left.
struct Table {
  std::string title;
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;  // cells may hold markup
};

// Escapes a text so that markup tags inside it print as they stand.
std::string escape_markup(std::string_view text);

// A text that velko did not write (a name, a server's value) as a table cell shows it:
// printable (common/printable.h), with its markup tags escaped.
std::string cell_text(std::string_view text);

// Renders markup: the tags [green] [red] [yellow] [dim] [bold] [cyan] and their closing tags
// ([/green], or [/] for the last one opened) become ANSI styles when `color`, and vanish
// otherwise. "\[" stands for a literal "[". Other bracketed text is kept as it is.
std::string render_markup(std::string_view markup, bool color);

// Renders a table to lines of text (each ended by a newline). Control characters in the title
// and the cells are shown escaped (printable_name), so every cell stays on its line.
std::string render_table(const Table& table, bool color);

class Console {
 public:
  using Sink = std::function<void(std::string_view)>;

  // Writes to standard output (stdout) or standard error (stderr): styles and the status line
  // only when that stream is a terminal, and styles only when `color` (the user may turn
  // them off).
  explicit Console(bool to_stderr = false, bool color = true);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Sends all output to `sink` instead, unstyled and without a status line (tests).
  void set_sink(Sink sink);
  // Observes the status line's texts: called with the text whenever a status line opens or
  // changes, and with an empty text when it closes (tests).
  void set_status_observer(std::function<void(const std::string&)> observer);
  // Back to the standard stream.
  void reset();

  // Prints one line of markup.
  void print(std::string_view markup);
  void print_table(const Table& table);

  // A transient status line with a spinner; removed when the object goes away.
  class Status {
   public:
    Status(Status&& other) noexcept;
    Status& operator=(Status&&) = delete;
    ~Status();
    // Replaces the text of the line.
    void update(std::string text);

   private:
    friend class Console;
    Status(Console* console, std::size_t id) : console_(console), id_(id) {}
    Console* console_;
    std::size_t id_;
  };
  [[nodiscard]] Status status(std::string text);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velko
