#pragma once
// What a socket transport asks of its sink, beyond the public interface, before it hands
// on one read's frames.

namespace Platform {

class ReaderHandlers {
  public:
    /// Whether what a frame sets off on the reading thread never waits for anything (a
    /// relay's forwarding): the transport may then hold the sends made there until
    /// every frame of the read is handed on, and write them together.
    virtual bool neverWait() const = 0;

  protected:
    ~ReaderHandlers() = default;
};

}  // namespace Platform
