// Which network adapter address stands for the machine: scores and the walk
// over the address lists that the adapter methods produce. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kAdapterAddressSize = 6;

// The score that no address is ever taken with, and the walk's starting point.
constexpr int kAdapterScoreNever = -3;

// Higher is better: 0 for an ordinary address, negative for virtual, dial-up
// and placeholder adapters.
int ScoreAdapterAddress(const uint8_t address[kAdapterAddressSize]);

// Walks `count` addresses of 6 bytes each in order while `*best` is below 0;
// an address scoring above `*best` is copied to `chosen` and its score becomes
// `*best`. So the first address of the highest score wins.
void WalkAdapterAddresses(const uint8_t* list, size_t count, int* best,
                          uint8_t chosen[kAdapterAddressSize]);
