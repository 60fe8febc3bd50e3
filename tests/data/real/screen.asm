; A loading screen: bitmap of stripes, then the attributes.
        org 16384
        defs 6144, 0AAh
        defs 768, 38h
