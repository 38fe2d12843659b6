"""BER octets for the tests that lay out frames by hand."""


def tlv(tag, content):
    """One TLV: the tag's octets (one for tags up to 0xFF), a definite length
    (short form below 128, else 0x80 plus the count and the count's octets),
    then the content."""
    tag_octets = tag.to_bytes((tag.bit_length() + 7) // 8 or 1, "big")
    n = len(content)
    if n < 0x80:
        return tag_octets + bytes([n]) + content
    size = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return tag_octets + bytes([0x80 | len(size)]) + size + content
