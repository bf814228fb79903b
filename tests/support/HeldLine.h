// The desktop's line held on purpose, as a long exchange would hold it: from
// the moment it is made until it goes, no read and no other exchange runs.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "monitoring/LineOwner.h"

class HeldLine {
public:
    HeldLine()
    {
        m_thread = std::thread([this] {
            OnLine([this] {
                std::unique_lock<std::mutex> lock(m_lock);
                m_held = true;
                m_changed.notify_all();
                m_changed.wait(lock, [this] { return m_release; });
            });
        });
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [this] { return m_held; });
    }
    ~HeldLine()
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_release = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    HeldLine(const HeldLine&) = delete;
    HeldLine& operator=(const HeldLine&) = delete;

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_held = false;
    bool m_release = false;
    std::thread m_thread;
};
