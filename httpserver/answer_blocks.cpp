#include "httpserver/answer_blocks.h"

#include <new>

#include "httpserver/http_limits.h"

AnswerBlockPool::Lease::Lease(Lease&& other) noexcept
    : m_pool(other.m_pool), m_block(std::move(other.m_block)) {}

AnswerBlockPool::Lease::~Lease() {
  if (m_block) m_pool->Return(std::move(m_block));
}

AnswerBlockPool::AnswerBlockPool(size_t block_bytes, size_t budget_bytes, size_t kept_free)
    : m_blockBytes(block_bytes), m_maxBlocks(budget_bytes / block_bytes), m_keptFree(kept_free) {}

AnswerBlockPool::Lease AnswerBlockPool::Take() {
  std::unique_ptr<char[]> block;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_out >= m_maxBlocks) return Lease();
    ++m_out;
    if (!m_free.empty()) {
      block = std::move(m_free.back());
      m_free.pop_back();
    }
  }
  // Allocated outside the lock: a fresh block may take a while to map.
  if (!block) block.reset(new (std::nothrow) char[m_blockBytes]);
  if (!block) {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_out;
    return Lease();
  }
  return Lease(this, std::move(block));
}

void AnswerBlockPool::Return(std::unique_ptr<char[]> block) {
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_out;
  if (m_free.size() < m_keptFree) m_free.push_back(std::move(block));
  // Otherwise freed as `block` goes, still under the lock; a free is quick.
}

size_t AnswerBlockPool::BlocksOut() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_out;
}

size_t AnswerBlockPool::BlocksKept() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_free.size();
}

AnswerBlockPool& AnswerBlockPool::Shared() {
  static AnswerBlockPool pool(http_limits::kAnswerBlockBytes,
                              http_limits::kAnswerBlockBudgetBytes, http_limits::kKeptFreeBlocks);
  return pool;
}
