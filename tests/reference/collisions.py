"""Ids chosen to collide in the id hash maps: the inverse of the splitmix64 finaliser."""

MASK = 2**64 - 1


def unmix(h: int) -> int:
    """The input that the splitmix64 finaliser maps to `h`."""

    def unshift(y, s):
        x = y
        for _ in range(64 // s + 1):
            x = y ^ (x >> s)
        return x

    h = unshift(h, 31)
    h = h * pow(0x94D049BB133111EB, -1, 2**64) & MASK
    h = unshift(h, 27)
    h = h * pow(0xBF58476D1CE4E5B9, -1, 2**64) & MASK
    return unshift(h, 30)
