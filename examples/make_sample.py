#!/usr/bin/env python3
"""Writes examples/sample_conversation.json: a long coding-assistant session in
mixed Chinese and English, stored the way the host stores conversations.

About 300 messages: user requests, assistant answers with tool calls, tool
messages whose output is in `tool_result`, and one user message with an image
part. Its estimated size is a little over 90 % of a 200000-token window, so
`context-compress` compresses it with the default settings. The output is the
same on every run (fixed seed, fixed start time).

    python examples/make_sample.py [OUT]
"""

from __future__ import annotations

import json
import random
import sys
from datetime import datetime, timedelta, timezone
from pathlib import Path

SEED = 20240501
START = datetime(2024, 5, 1, 9, 0, 0, tzinfo=timezone.utc)
TURNS = 90
DEFAULT_OUT = Path(__file__).with_name("sample_conversation.json")

# A 1x1 transparent PNG, as a screenshot would be attached.
TINY_PNG = (
    "data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAQAAAC1HAwCAAAAC0lE"
    "QVR42mNkYAAAAAYAAjCB0C8AAAAASUVORK5CYII="
)

TASKS = [
    ("修复搜索接口在空查询时返回 500 的问题", "src/api/search.py", "pytest tests/test_search.py -q"),
    ("把会话存储从 SQLite 迁移到 PostgreSQL", "src/store/sessions.py", "alembic upgrade head"),
    ("Add pagination to the /conversations endpoint", "src/api/conversations.py",
     "pytest tests/test_conversations.py -q"),
    ("给 markdown 渲染加上代码高亮", "web/src/render/markdown.ts", "npm run test -- render"),
    ("Speed up the token estimator on long tool outputs", "src/chat/tokens.py",
     "python -m pytest tests/test_tokens.py -q"),
    ("排查 WebSocket 断线后消息重复的问题", "src/ws/session.py", "pytest tests/test_ws.py -q -x"),
    ("Write a migration guide for the v2 config format", "docs/migration-v2.md",
     "mkdocs build --strict"),
    ("给 search_session 工具加上按日期过滤", "src/tools/search_session.py",
     "pytest tests/test_tools.py -q -k search_session"),
]

ZH_SENTENCES = [
    "我先看了一下调用栈，问题出在请求参数没有做空值检查。",
    "这个函数在循环里反复打开数据库连接，开销比较大，可以改成复用连接池。",
    "测试用例覆盖了正常路径，但没有覆盖超时和重试的情况。",
    "日志显示第二次请求在三十秒后才返回，说明上游服务有阻塞。",
    "我建议把配置项集中到一个地方，避免在多个模块里重复读取环境变量。",
    "修改之后所有单元测试都通过了，集成测试还有两个失败需要再看。",
    "这里的时间戳用的是本地时区，和服务器上的 UTC 时间比较时会出错。",
    "为了兼容旧数据，迁移脚本需要先检查字段是否存在再做转换。",
    "前端在收到重复的消息编号时应该直接丢弃，而不是再渲染一次。",
    "我把错误信息改得更具体了，用户能看到是哪一个文件出了问题。",
    "性能分析显示大部分时间花在 JSON 序列化上，可以考虑缓存结果。",
    "这个改动不影响现有接口，老版本的客户端仍然可以正常使用。",
    "需要注意的是，删除操作必须放在事务里，否则中途失败会留下脏数据。",
    "我已经在本地复现了这个问题，触发条件是连续发送两条相同的消息。",
    "文档里的示例命令已经过时了，我按照新的参数格式重新写了一遍。",
    "如果上下文太长，模型会截断前面的内容，所以需要先做摘要压缩。",
]

EN_SENTENCES = [
    "The handler now validates the query before it reaches the database layer.",
    "I added a regression test that fails on the old code and passes on the new one.",
    "The connection pool is created once at start-up and shared by all requests.",
    "Timestamps are stored in UTC with an explicit offset, so text comparison stays ordered.",
    "The retry loop is bounded: three attempts with exponential back-off, then an error.",
    "I kept the public function signatures unchanged to avoid breaking the callers.",
    "The slow path was a quadratic scan over the message list; it is linear now.",
    "Both the unit tests and the integration tests pass on my machine.",
    "The migration is reversible; the downgrade step restores the previous schema.",
    "Error messages now name the file and the line that caused the failure.",
]

USER_FOLLOW_UPS = [
    "好的，继续。", "Looks good, please go on.", "能不能再解释一下为什么要这样改？",
    "Can you also run the linter?", "测试还是失败，你再看看日志。",
    "Please keep the change small, this goes into a patch release.",
    "这个方案可以，顺便更新一下文档。", "What about the edge case with an empty list?",
]

COMMANDS = ["run_command", "read_file", "search_code", "apply_patch"]


def stamp(t: datetime) -> str:
    return t.isoformat()


def zh_paragraph(rng: random.Random, sentences: int) -> str:
    return "".join(rng.choice(ZH_SENTENCES) for _ in range(sentences))


def en_paragraph(rng: random.Random, sentences: int) -> str:
    return " ".join(rng.choice(EN_SENTENCES) for _ in range(sentences))


def tool_output(rng: random.Random, tool: str, path: str, command: str) -> str:
    """A tool result of a few thousand characters: test logs, a file or a diff."""
    lines: list[str] = []
    if tool == "run_command":
        lines.append(f"$ {command}")
        for i in range(rng.randint(30, 55)):
            outcome = "PASSED" if rng.random() > 0.08 else "FAILED"
            lines.append(f"tests/test_{Path(path).stem}.py::test_case_{i:03d} {outcome}"
                         f" [{(i + 1) * 100 // 55:3d}%]")
        lines.append(f"==== {rng.randint(30, 55)} passed, {rng.randint(0, 3)} failed "
                     f"in {rng.uniform(0.5, 9.0):.2f}s ====")
    elif tool == "read_file":
        lines.append(f"# {path}")
        for i in range(rng.randint(40, 70)):
            lines.append(f"{i + 1:4d}  def handler_{i}(request):  # 处理请求 {i}"
                         if i % 7 == 0 else f"{i + 1:4d}      value_{i} = compute(request, {i})")
    elif tool == "search_code":
        for i in range(rng.randint(25, 45)):
            lines.append(f"{path}:{rng.randint(1, 900)}:    result = cut_time_window(conv, {i})")
    else:
        lines.append(f"--- a/{path}\n+++ b/{path}")
        for i in range(rng.randint(30, 50)):
            sign = rng.choice("+- ")
            lines.append(f"{sign}    if not messages:  # 空列表直接返回 ({i})")
    return "\n".join(lines)


def build(rng: random.Random) -> dict:
    t = START
    messages: list[dict] = []

    def add(message: dict, gap_seconds: tuple[int, int] = (5, 90)) -> None:
        nonlocal t
        t += timedelta(seconds=rng.randint(*gap_seconds))
        message["timestamp"] = stamp(t)
        messages.append(message)

    call_id = 0
    for turn in range(TURNS):
        task, path, command = TASKS[turn // 10 % len(TASKS)]
        if turn % 10 == 0:
            request = f"新任务：{task}。相关文件是 {path}，改完以后请跑一下 `{command}`。"
        else:
            request = rng.choice(USER_FOLLOW_UPS)
        if turn == 23:
            # The one message with an image part: text plus a screenshot.
            add({"role": "user", "content": [
                {"type": "text", "text": "这是报错时的截图，the stack trace is cut off at the bottom."},
                {"type": "image_url", "image_url": {"url": TINY_PNG}},
            ]}, (60, 600))
        else:
            add({"role": "user", "content": request}, (60, 600))

        tool = COMMANDS[turn % len(COMMANDS)]
        call_id += 1
        arguments = {"cmd": command} if tool == "run_command" else {"path": path}
        add({
            "role": "assistant",
            "content": f"{en_paragraph(rng, 1)} 我先用 {tool} 看一下。",
            "tool_calls": [{
                "id": f"call_{call_id:04d}",
                "type": "function",
                "function": {"name": tool, "arguments": json.dumps(arguments)},
            }],
        })
        add({
            "role": "tool",
            "tool_call_id": f"call_{call_id:04d}",
            "name": tool,
            "content": "",
            "tool_result": tool_output(rng, tool, path, command),
        }, (1, 20))
        answer = zh_paragraph(rng, rng.randint(24, 36))
        if turn % 3 == 0:
            answer += "\n\n" + en_paragraph(rng, rng.randint(2, 4))
        add({"role": "assistant", "content": answer})

    return {
        "id": "conv-7f3a2c",
        "title": "lumenpad 后端维护 / backend maintenance",
        "created_at": messages[0]["timestamp"],
        "model": "gpt-4o",
        "messages": messages,
    }


def main(argv: list[str]) -> int:
    out = Path(argv[1]) if len(argv) > 1 else DEFAULT_OUT
    conv = build(random.Random(SEED))
    out.write_text(json.dumps(conv, ensure_ascii=False, indent=2) + "\n", encoding="utf-8")
    print(f"wrote {out}: {len(conv['messages'])} messages")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
