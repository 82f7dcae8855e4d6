// Memory for answer bodies, drawn by all connections from one fixed budget.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

// Safe from any thread.
class AnswerBlockPool {
 public:
  // A block on loan; returned to the pool when the lease goes.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) = delete;
    ~Lease();
    char* data() const { return m_block.get(); }
    size_t size() const { return m_size; }
    explicit operator bool() const { return m_block != nullptr; }

   private:
    friend class AnswerBlockPool;
    Lease(AnswerBlockPool* pool, std::unique_ptr<char[]> block, size_t size)
        : m_pool(pool), m_block(std::move(block)), m_size(size) {}
    AnswerBlockPool* m_pool = nullptr;
    std::unique_ptr<char[]> m_block;
    size_t m_size = 0;
  };

  AnswerBlockPool(size_t block_bytes, size_t budget_bytes, size_t kept_free);

  // `wanted` bytes, at most a block; a kept block when there is one. An empty
  // lease when the budget is spent or memory is short.
  Lease Take(size_t wanted);
  // Gives back the blocks kept for reuse: the server calls it when its last
  // connection ends, so that an idle daemon holds none.
  void Trim();
  size_t BytesOut() const;
  size_t BlocksKept() const;

  // The pool the file service uses, with the limits of http_limits.
  static AnswerBlockPool& Shared();

 private:
  void Return(std::unique_ptr<char[]> block, size_t size);

  const size_t m_blockBytes;
  const size_t m_budgetBytes;
  const size_t m_keptFree;
  mutable std::mutex m_mutex;
  size_t m_outBytes = 0;
  std::vector<std::unique_ptr<char[]>> m_free;
};
