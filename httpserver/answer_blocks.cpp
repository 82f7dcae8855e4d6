#include "httpserver/answer_blocks.h"

#include <new>

#include "httpserver/http_limits.h"

AnswerBlockPool::Lease::Lease(Lease&& other) noexcept
    : m_pool(other.m_pool), m_block(std::move(other.m_block)), m_size(other.m_size) {
  other.m_size = 0;
}

AnswerBlockPool::Lease::~Lease() {
  if (m_block) m_pool->Return(std::move(m_block), m_size);
}

AnswerBlockPool::AnswerBlockPool(size_t block_bytes, size_t budget_bytes, size_t kept_free)
    : m_blockBytes(block_bytes), m_budgetBytes(budget_bytes), m_keptFree(kept_free) {}

AnswerBlockPool::Lease AnswerBlockPool::Take(size_t wanted) {
  size_t size = wanted < m_blockBytes ? wanted : m_blockBytes;
  std::unique_ptr<char[]> block;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_free.empty()) {
      size = m_blockBytes;
      if (m_outBytes + size > m_budgetBytes) return Lease();
      block = std::move(m_free.back());
      m_free.pop_back();
    } else if (m_outBytes + size > m_budgetBytes) {
      return Lease();
    }
    m_outBytes += size;
  }
  // Allocated outside the lock: a fresh block may take a while to map.
  if (!block) block.reset(new (std::nothrow) char[size]);
  if (!block) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_outBytes -= size;
    return Lease();
  }
  return Lease(this, std::move(block), size);
}

void AnswerBlockPool::Return(std::unique_ptr<char[]> block, size_t size) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_outBytes -= size;
    // Whole blocks are kept between answers too: freeing them whenever nothing
    // happened to be out cost the next answers the page faults of a fresh 1 MiB.
    if (size == m_blockBytes && m_free.size() < m_keptFree) m_free.push_back(std::move(block));
  }
  // A block not kept goes here, outside the lock.
}

void AnswerBlockPool::Trim() {
  std::vector<std::unique_ptr<char[]>> freed;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    freed.swap(m_free);
  }
}

size_t AnswerBlockPool::BytesOut() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_outBytes;
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
