"""The fits' sample draws in Python (src/kestrune/ransac/sampler.hpp): the
NumPy version in bench_ransac.py and the model in tests/test_ransac.py draw
the same samples as kestrune from the same state."""


class Sampler:
    """k distinct indices below n per draw, from a 32-bit linear congruential
    state: the state modulo n is taken unless already drawn, then stepped."""

    def __init__(self, state, n):
        self.state, self.n = state & 0xFFFFFFFF, n

    def draw(self, k):
        taken = []
        while len(taken) < k:
            c = self.state % self.n
            if c not in taken:
                taken.append(c)
            self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return taken
