#pragma once

namespace bench {

// Sends standard output and error to a descriptor (the driver's traces to /dev/null) while it
// lives, and gives both back when it ends.
class QuietOutput {
  public:
    explicit QuietOutput(int fd);
    ~QuietOutput();
    QuietOutput(const QuietOutput&) = delete;
    QuietOutput& operator=(const QuietOutput&) = delete;

  private:
    int _savedOut;
    int _savedErr;
};

}  // namespace bench
