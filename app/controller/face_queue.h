#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "app/controller/window_view.h"

namespace lumaflash::app {

// Hands calls from the worker to the face's thread, in the order they were made: the scan and
// the update report from the worker, and only the face's thread may draw.
class FaceQueue {
 public:
  // The thread that makes the queue is the face's.
  explicit FaceQueue(WindowView& view);

  // Runs `call` on the face's thread after everything posted before it: at once (after the
  // rest) when called there, otherwise once the face calls Deliver().
  void Post(std::function<void()> call);
  // Runs what was posted, in order. On the face's thread.
  void Deliver();

 private:
  WindowView& m_view;
  std::thread::id m_faceThread;
  std::mutex m_mutex;
  std::deque<std::function<void()>> m_posted;
};

}  // namespace lumaflash::app
