"""Texts and record stand-ins that several test files use."""

# The summary message's fixed parts, and the traceback entry of the compressor.
SUMMARY_PREFIX = "[上下文压缩摘要] "
SUMMARY_NOTE = ("\n\n注意：因上下文过多，已启用压缩，以上历史记录为压缩内容，"
                "如需查找更多会话历史，请使用search_session工具查找")
COMPRESS_ENTRY = "routes.context_compress.cut_and_sum_history"


class Facade(dict):
    """A dict that stores one thing and answers get() with another: reading
    through get() is the only way to see `answers`."""

    def __init__(self, answers, **stored):
        super().__init__(**stored)
        self.answers = answers

    def get(self, key, default=None):
        return self.answers.get(key, default)


class GetOnly:
    """A record that is no dict at all, only a get()."""

    def __init__(self, **answers):
        self.answers = answers

    def get(self, key, default=None):
        return self.answers.get(key, default)
