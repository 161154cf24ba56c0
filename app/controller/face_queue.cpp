#include "app/controller/face_queue.h"

#include <utility>

namespace lumaflash::app {

FaceQueue::FaceQueue(WindowView& view) : m_view(view), m_faceThread(std::this_thread::get_id()) {}

void FaceQueue::Post(std::function<void()> call) {
  if (std::this_thread::get_id() == m_faceThread) {
    Deliver();
    call();
    return;
  }
  {
    const std::lock_guard lock(m_mutex);
    m_posted.push_back(std::move(call));
  }
  m_view.PostToFace();
}

void FaceQueue::Deliver() {
  for (;;) {
    std::function<void()> next;
    {
      const std::lock_guard lock(m_mutex);
      if (m_posted.empty()) {
        return;
      }
      next = std::move(m_posted.front());
      m_posted.pop_front();
    }
    next();
  }
}

}  // namespace lumaflash::app
