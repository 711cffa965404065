// A GPIO line of any chip through libgpiod switches the transceiver: requested as an output
// at open, active while transmitting, released at close.
#pragma once

#include <memory>
#include <string>

#include "SwitchedDirection.h"

struct gpiod_chip;
struct gpiod_line;

namespace veldw485::line {

class GpiodDirection : public SwitchedDirection {
  public:
    static constexpr char kConsumer[] = "dwmid";

    GpiodDirection(int channel, const DirectionSettings& settings)
        : SwitchedDirection(channel), _settings(settings) {}
    ~GpiodDirection() override;
    GpiodDirection(const GpiodDirection&) = delete;
    GpiodDirection& operator=(const GpiodDirection&) = delete;

    // Nothing on a half-duplex bus drives CTS.
    bool FlowControl() const override { return false; }
    int Open(int fd_tty, unsigned char baudrate) override;
    int Close() override;
    int modeWrite() override;
    int modeRead() override;
    std::string Describe() const override;

  private:
    struct ChipCloser {
        void operator()(gpiod_chip* chip) const;
    };

    const DirectionSettings _settings;
    std::unique_ptr<gpiod_chip, ChipCloser> _chip;
    // Belongs to _chip; set while the line is requested.
    gpiod_line* _line{nullptr};
};

}  // namespace veldw485::line
