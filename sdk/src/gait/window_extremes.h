// The lowest and the highest load over the last window_s seconds, one sample
// at a time, in amortised constant time: two monotonic queues of the samples
// that can still become the window's minimum or maximum. The queues are rings
// that grow by doubling and never shrink, so a steady stream allocates
// nothing once they have reached the size its signal needs.
#pragma once

#include <cstddef>
#include <vector>

namespace tvis::gait {

class WindowExtremes {
 public:
  explicit WindowExtremes(double window_s) : window_s_(window_s) {}

  // Times strictly increase from call to call (the caller sees to it).
  void push(double time_s, double load) {
    minima_.push_back_monotonic(time_s, load, [](double kept, double v) { return kept >= v; });
    maxima_.push_back_monotonic(time_s, load, [](double kept, double v) { return kept <= v; });
    const double oldest = time_s - window_s_;
    minima_.drop_older(oldest);
    maxima_.drop_older(oldest);
  }

  // Both need one push before them.
  double low() const { return minima_.front().load; }
  double high() const { return maxima_.front().load; }

 private:
  struct Point {
    double time_s, load;
  };

  class Ring {
   public:
    template <class Dominated>
    void push_back_monotonic(double time_s, double load, Dominated dominated) {
      while (size_ > 0 && dominated(at(size_ - 1).load, load)) --size_;
      if (size_ == points_.size()) grow();
      at(size_++) = {time_s, load};
    }
    void drop_older(double oldest) {
      // The newest point is never older than the window: the queue keeps one.
      while (points_[head_].time_s < oldest) {
        head_ = (head_ + 1) & (points_.size() - 1);
        --size_;
      }
    }
    const Point& front() const { return points_[head_]; }

   private:
    Point& at(size_t i) { return points_[(head_ + i) & (points_.size() - 1)]; }
    void grow() {
      std::vector<Point> bigger(points_.empty() ? 64 : points_.size() * 2);
      for (size_t i = 0; i < size_; ++i) bigger[i] = at(i);
      points_.swap(bigger);
      head_ = 0;
    }
    std::vector<Point> points_;  // a power of two long
    size_t head_ = 0, size_ = 0;
  };

  double window_s_;
  Ring minima_, maxima_;
};

}  // namespace tvis::gait
