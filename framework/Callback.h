// Callbacks run by the framework tasks, and the growable pointer array
// they are kept in.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

// Growable array of non-owned pointers. Growth rule: the first allocation
// holds chunk * ceil((index + 1) / chunk) entries; later ones add that
// many again (so growing from 10 to hold index 10 gives 30). Entries are
// never removed.
template<class T>
class PointerArray
{
public:
  static constexpr int chunk = 10;

  // 0, or -1 (error flag set) for a negative index.
  int set(int index, T *value)
  {
    if (index < 0) {
      error_ = true;
      return -1;
    }
    if (index >= static_cast<int>(items_.size())) {
      const int step = chunk * ((index + 1 + chunk - 1) / chunk);
      items_.resize(items_.empty() ? step : items_.size() + step, nullptr);
    }
    items_[index] = value;
    if (index + 1 > count_)
      count_ = index + 1;
    error_ = false;
    return 0;
  }
  int append(T *value) { return set(count_, value); }
  // The entry, or null with the error flag set for an index outside 0..count-1.
  T *get(int index)
  {
    if (index < 0 || index >= count_) {
      error_ = true;
      return nullptr;
    }
    error_ = false;
    return items_[index];
  }
  int count() const { return count_; }
  int capacity() const { return static_cast<int>(items_.size()); }
  bool error() const { return error_; }

private:
  bool error_ = false;
  std::vector<T *> items_;
  int count_ = 0;
};

class Callback;

class CallbackTarget
{
public:
  virtual ~CallbackTarget() = default;
  virtual void invoke(Callback &caller) = 0;
};

// A member function of one object that takes the calling Callback.
template<class T>
class MemberCallback : public CallbackTarget
{
public:
  using Method = int (T::*)(Callback &);
  MemberCallback(T *object, Method method)
    : object_(object)
    , method_(method)
  {
  }
  void invoke(Callback &caller) override { (object_->*method_)(caller); }

private:
  T *object_;
  Method method_;
};

// Owns its target. Tasks skip callbacks whose enabled flag is 0 (the
// periodic task does; the event task does not look at it).
class Callback
{
public:
  explicit Callback(std::unique_ptr<CallbackTarget> target)
    : target_(std::move(target))
  {
  }
  virtual ~Callback() = default;
  virtual void invoke()
  {
    if (target_)
      target_->invoke(*this);
  }

  std::atomic<short> enabled{ 1 };

private:
  std::unique_ptr<CallbackTarget> target_;
};
